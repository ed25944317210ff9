#include "deploy/module_deploy.h"

#include <string>

#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/log.h"
#include "common/registry_key.h"
#include "deploy/deploy_names.h"
#include "deploy/deploy_steps.h"
#include "deploy/file_utils.h"

namespace qelmo {

namespace {

// One build of the engine: where it comes from, where it goes, and the values that record it.
struct EngineFile {
    std::wstring (*systemFolder)();
    const wchar_t* fileName;
    const wchar_t* installPathLog;
    const wchar_t* pathValue;
    const wchar_t* devValue;
};

// Places one engine file below its system folder and records it; false ends the deployment.
bool DeployEngineFile(const EngineFile& file, const std::wstring& packageFolder,
                      const std::wstring& version, DWORD& copied) {
    deploy::ModuleFileSite site;
    if (!deploy::PrepareModuleFileSite(file.systemFolder(), footprint::kKipMonGroupFolder, version,
                                       file.installPathLog, packageFolder, file.fileName, site))
        return false;
    const deploy::ModuleFileLabels labels{deploy::kLabelEngineSource, deploy::kLabelEngineTarget};
    switch (deploy::PlaceModuleFile(site.source, site.target, labels, logid::kTrace)) {
        case deploy::PlaceResult::kFailed:
            return false;
        case deploy::PlaceResult::kSkipped:
            copied = 0;
            break;
        case deploy::PlaceResult::kCopied:
            break;
    }
    // Recorded after a skip as well: the values always name where this version lives.
    SetKipMonRegistry(site.folder.c_str(), file.fileName, file.pathValue, file.devValue);
    return true;
}

}  // namespace

int BackupKipMon(const wchar_t* folder, DWORD* pdwCopied) {
    DWORD ignored = 0;
    DWORD& copied = pdwCopied ? *pdwCopied : ignored;
    copied = 1;
    if (!folder) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, deploy::kLogFolderNull);
        return 0;
    }
    const std::wstring packageFolder(folder);
    const std::wstring source64 = packageFolder + L'\\' + footprint::kKipMon64File;
    if (!deploy::CheckPathFits(source64) ||
        !deploy::CheckPathFits(packageFolder + L'\\' + footprint::kKipMon32File))
        return 0;

    std::wstring version;
    if (!Utilities::GetFileVersion(source64, version)) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"Retrieve engine version number failed:");
        return 0;
    }
    QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, deploy::kLogEnginePath,
         packageFolder);
    QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace, deploy::kLogEngineVersion, version);

    const EngineFile files[] = {
        {&GetSystem32Folder, footprint::kKipMon64File, deploy::kLogInstallPath,
         names::kMonDll64Name, names::kMonDll64NameDev},
        {&GetSysWow64Folder, footprint::kKipMon32File, deploy::kLogInstallPathWow64,
         names::kMonDllName, names::kMonDllNameDev},
    };
    for (const EngineFile& file : files)
        if (!DeployEngineFile(file, packageFolder, version, copied)) return 0;
    return 1;
}

int SetKipMonRegistry(const wchar_t* folder, const wchar_t* fileName, const wchar_t* pathValueName,
                      const wchar_t* devValueName) {
    if (!folder || !fileName || !pathValueName || !devValueName) return 0;
    std::wstring fullPath(folder);
    if (fullPath.empty() || (fullPath.back() != L'\\' && fullPath.back() != L'/'))
        fullPath += L'\\';
    fullPath += fileName;
    const std::wstring devicePath = Utilities::GetDevicePath(fullPath.c_str());
    if (devicePath.empty())
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, deploy::kLogNoDevicePath,
             fullPath);

    // The service key is created when missing (an install records the engine before its INF
    // step); each value is written whatever became of the one before.
    CRegistryKey key;
    if (key.Create(HKEY_LOCAL_MACHINE, names::kServiceKey) == ERROR_SUCCESS) {
        key.SetStringValue(fullPath.c_str(), pathValueName);
        key.SetStringValue(devicePath.c_str(), devValueName);
        key.Close();
    }
    deploy::FlushServiceKey();
    return 1;
}

}  // namespace qelmo
