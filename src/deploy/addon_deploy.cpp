#include "deploy/addon_deploy.h"

#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/log.h"
#include "common/registry_key.h"
#include "deploy/deploy_names.h"
#include "deploy/deploy_steps.h"
#include "deploy/file_utils.h"

namespace qelmo {

namespace {

// Opens the service key (which must exist) and creates or opens AddOn and then `keyName` below it
// into `key`, one level from the other.
bool CreateAddOnKey(const wchar_t* keyName, CRegistryKey& key) {
    CRegistryKey serviceKey;
    if (serviceKey.Open(HKEY_LOCAL_MACHINE, names::kServiceKey, KEY_READ | KEY_WRITE) !=
        ERROR_SUCCESS)
        return false;
    CRegistryKey addOnKey;
    if (addOnKey.Create(serviceKey.Handle(), names::kAddOnSubkey, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS) != ERROR_SUCCESS)
        return false;
    return key.Create(addOnKey.Handle(), keyName, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS) == ERROR_SUCCESS;
}

// The add-on registration, for one build: its key below AddOn and its file name.
bool SetAddOnRegistryFor(const wchar_t* targetFolder, const std::wstring& version,
                         const wchar_t* keyName, const wchar_t* fileName) {
    if (!targetFolder) return false;
    // The service key is never created here: without the service there is nothing to record.
    CRegistryKey key;
    if (!CreateAddOnKey(keyName, key)) return false;

    const std::wstring filePath = std::wstring(targetFolder) + L'\\' + fileName;
    // The device form of the folder, then the file name: only the folder has to fit the path
    // buffer. A folder whose device form does not fit records an empty device path.
    const std::wstring folderDevicePath = Utilities::GetDevicePath(targetFolder);
    std::wstring devicePath;
    if (folderDevicePath.empty())
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, deploy::kLogNoDevicePath,
             targetFolder);
    else
        devicePath = folderDevicePath + L'\\' + fileName;

    // Each value is written whatever became of the one before.
    key.SetStringValue(filePath.c_str(), names::kAddOnPath);
    key.SetStringValue(devicePath.c_str(), names::kAddOnDevPath);
    key.SetStringValue(version.c_str(), names::kAddOnVersion);
    key.Close();
    deploy::FlushServiceKey();
    return true;
}

// One build of the add-on: where it comes from, where it goes, how it is registered.
struct AddOnFile {
    std::wstring (*systemFolder)();
    const wchar_t* fileName;
    const wchar_t* installPathLog;
    deploy::ModuleFileLabels labels;
    unsigned copyFailureLevel;
    int (*registerFile)(const wchar_t*, std::wstring);
};

bool DeployAddOnFile(const AddOnFile& file, const std::wstring& sourceBase,
                     const std::wstring& version, DWORD& copied) {
    deploy::ModuleFileSite site;
    if (!deploy::PrepareModuleFileSite(file.systemFolder(), footprint::kAddOnGroupFolder, version,
                                       file.installPathLog, sourceBase, file.fileName, site))
        return false;
    // The key is written once the copy is whole and before the file gets its name: a run cut
    // short in between leaves the name free, so the next run copies and registers again, instead
    // of finding the file in place and keeping the key of the version before.
    const auto registerCopy = [&file, &site, &version] {
        file.registerFile(site.folder.c_str(), version);
    };
    switch (deploy::PlaceModuleFile(site.source, site.target, file.labels, file.copyFailureLevel,
                                    registerCopy)) {
        case deploy::PlaceResult::kFailed:
            return false;
        case deploy::PlaceResult::kSkipped:
            // The key keeps what the deployment that copied the file wrote (or stays absent).
            copied = 0;
            return true;
        case deploy::PlaceResult::kCopied:
            break;
    }
    return true;
}

}  // namespace

int SetAddOn64Registry(const wchar_t* targetFolder, std::wstring version) {
    return SetAddOnRegistryFor(targetFolder, version, names::kAddOnEvt64Subkey,
                               footprint::kKipEvt64File);
}

int SetAddOnRegistry(const wchar_t* targetFolder, std::wstring version) {
    return SetAddOnRegistryFor(targetFolder, version, names::kAddOnEvtSubkey,
                               footprint::kKipEvt32File);
}

int BackupAddOn(const wchar_t* folder, DWORD* pdwCopied) {
    DWORD ignored = 0;
    DWORD& copied = pdwCopied ? *pdwCopied : ignored;
    copied = 1;
    if (!folder) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, deploy::kLogFolderNull);
        return 0;
    }
    const std::wstring sourceBase = std::wstring(folder) + L'\\' + footprint::kPackageAddOnFolder;
    const std::wstring source64 = sourceBase + L'\\' + footprint::kKipEvt64File;
    if (!deploy::CheckPathFits(source64) ||
        !deploy::CheckPathFits(sourceBase + L'\\' + footprint::kKipEvt32File))
        return 0;

    std::wstring version;
    if (!Utilities::GetFileVersion(source64, version)) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"Retrieve addon version number failed:");
        return 0;
    }
    QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, deploy::kLogEnginePath, sourceBase);
    QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, deploy::kLogEngineVersion, version);

    const AddOnFile files[] = {
        {&GetSystem32Folder,
         footprint::kKipEvt64File,
         deploy::kLogInstallPath,
         {deploy::kLabelAddOn64Source, deploy::kLabelAddOn64Target},
         logid::kTrace,
         &SetAddOn64Registry},
        {&GetSysWow64Folder,
         footprint::kKipEvt32File,
         deploy::kLogInstallPathWow64,
         {deploy::kLabelAddOn32Source, deploy::kLabelAddOn32Target},
         logid::kError,
         &SetAddOnRegistry},
    };
    for (const AddOnFile& file : files)
        if (!DeployAddOnFile(file, sourceBase, version, copied)) return 0;
    return 1;
}

}  // namespace qelmo
