#include "lifecycle/driver_paths.h"

#include <cwchar>

#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/registry_key.h"
#include "deploy/deploy_names.h"
#include "deploy/file_utils.h"
#include "lifecycle/lifecycle_log.h"

namespace qelmo {

namespace {
#define PATHS_LOG(level, ...) QLOG(logid::kCatInstall, logid::kSrcHelper, level, __VA_ARGS__)
constexpr wchar_t kDeviceInfix[] = L"\\\\.\\";  // "\\.\"
constexpr size_t kDeviceInfixUnits = 4;

}  // namespace

bool DriverPathIsTerminated(const DrvInfo& rDrvInfo) {
    return wmemchr(rDrvInfo.wszDriverPath, L'\0', QELMO_DRIVER_PATH_UNITS) != nullptr;
}

bool ReadPackageFolder(const DrvInfo& rDrvInfo, wchar_t* folder) {
    if (!DriverPathIsTerminated(rDrvInfo)) {
        PATHS_LOG(logid::kError, lifecycle_text::kUnterminatedPath);
        return false;
    }
    if (!NormalizeDriverPath(rDrvInfo.wszDriverPath, folder, names::kFolderUnits)) {
        PATHS_LOG(logid::kTrace, lifecycle_text::kNormalizeFailed);
        return false;
    }
    PATHS_LOG(logid::kTrace, lifecycle_text::kRawPath, rDrvInfo.wszDriverPath);
    PATHS_LOG(logid::kTrace, lifecycle_text::kNormalFolder, folder);
    return true;
}

int NormalizeDriverPath(const wchar_t* input, wchar_t* output, size_t outputUnits) {
    if (!input || !output || outputUnits == 0) return 0;
    std::wstring path = input;
    for (size_t p = 0; p + kDeviceInfixUnits <= path.size(); ++p) {
        if (path[p] == L'\\' && path.compare(p, kDeviceInfixUnits, kDeviceInfix) == 0) {
            path.erase(p, kDeviceInfixUnits - 1);
            break;
        }
    }
    if (path.size() >= outputUnits) {
        PATHS_LOG(logid::kError, L"The driver path does not fit in ",
                  static_cast<uint32_t>(outputUnits), L" characters: ", path);
        return 0;
    }
    wmemset(output, L'\0', outputUnits);
    wmemcpy(output, path.c_str(), path.size());
    return 1;
}

bool EndsWithSeparator(const std::wstring& text) {
    return !text.empty() && (text.back() == L'\\' || text.back() == L'/');
}

std::wstring WithTrailingSeparator(const std::wstring& folder) {
    return EndsWithSeparator(folder) ? folder : folder + L"\\";
}

std::wstring InfPathFor(const std::wstring& folder, const wchar_t* serviceName) {
    return WithTrailingSeparator(folder) + footprint::InfFileName(serviceName);
}

// A removal that found nothing at the path schedules nothing (NothingThere): a deletion at restart
// would remove whatever a later deployment places under that name (a reinstalled module).

void ForceDeleteFile(const std::wstring& path) {
    if (DeleteFileW(path.c_str()) || NothingThere(GetLastError())) return;
    wchar_t aside[names::kFolderUnits] = {};
    // Truncating format: an over-long name is cut short inside the buffer, never past it.
    _snwprintf(aside, names::kFolderUnits - 1, L"%ls.%d", path.c_str(),
               static_cast<int>(GetTickCount()));
    if (MoveFileW(path.c_str(), aside)) {
        MoveFileExW(aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        return;
    }
    const DWORD moveError = GetLastError();
    PATHS_LOG(logid::kWarn, L"Rename file(", path, L") failed. LastError = ", moveError);
    MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void RemoveFolderNowOrAtRestart(const std::wstring& folder) {
    if (RemoveDirectoryW(folder.c_str()) || NothingThere(GetLastError())) return;
    MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void RemoveFileAndFolder(const std::wstring& path) {
    std::wstring folder;
    bool hasFolder = GetParentFolder(path, folder) != 0;
    ForceDeleteFile(path);
    if (hasFolder) RemoveModuleFolder(path, folder);
}

void RemoveModuleFolder(const std::wstring& modulePath, const std::wstring& folder) {
    if (RemoveDirectoryW(folder.c_str())) return;
    // A copy of the module that a run cut short left beside it keeps the folder from going.
    if (GetLastError() == ERROR_DIR_NOT_EMPTY)
        DeleteFileW((modulePath + deploy::kModuleCopySuffix).c_str());
    RemoveFolderNowOrAtRestart(folder);
}

void RetirePreviousModules(const std::vector<std::wstring>& previousPaths,
                           const std::vector<std::wstring>& currentPaths) {
    for (const auto& previous : previousPaths) {
        bool inUse = false;
        for (const auto& current : currentPaths)
            inUse = inUse || CompareStringOrdinal(previous.c_str(), -1, current.c_str(), -1,
                                                  TRUE) == CSTR_EQUAL;
        if (!inUse) RemoveFileAndFolder(previous);
    }
}

void RetireAfterDeployment(const std::vector<std::wstring>& previousMonitorPaths,
                           const std::vector<std::wstring>& previousAddOnPaths, bool monitorCopied,
                           bool addOnCopied) {
    // Only a module with new copies and earlier files has anything to retire; the recorded paths
    // are read back only for such a comparison (an install onto a clean machine has none).
    const bool retireMonitor = monitorCopied && !previousMonitorPaths.empty();
    const bool retireAddOn = addOnCopied && !previousAddOnPaths.empty();
    if (!retireMonitor && !retireAddOn) return;
    std::vector<std::wstring> currentMonitorPaths, currentAddOnPaths;
    CollectRecordedModulePaths(currentMonitorPaths, currentAddOnPaths);
    if (retireMonitor) RetirePreviousModules(previousMonitorPaths, currentMonitorPaths);
    if (retireAddOn) RetirePreviousModules(previousAddOnPaths, currentAddOnPaths);
}

namespace {
bool ReadPair(const wchar_t* monitorValue, const wchar_t* addOnKey, std::wstring& monitorPath,
              std::wstring& addOnPath) {
    if (!ReadRegString(monitorPath, names::kServiceKey, monitorValue) || monitorPath.empty())
        return false;
    return ReadRegString(addOnPath, addOnKey, names::kAddOnPath) && !addOnPath.empty();
}
}  // namespace

bool ReadRecordedPaths32(std::wstring& monitorPath, std::wstring& addOnPath) {
    return ReadPair(names::kMonDllName, names::kAddOnEvtKey, monitorPath, addOnPath);
}

bool ReadRecordedPaths64(std::wstring& monitorPath, std::wstring& addOnPath) {
    return ReadPair(names::kMonDll64Name, names::kAddOnEvt64Key, monitorPath, addOnPath);
}

int CollectRecordedModulePaths(std::vector<std::wstring>& monitorPaths,
                               std::vector<std::wstring>& addOnPaths) {
    static constexpr RecordedPathReader kReaders[] = {ReadRecordedPaths32, ReadRecordedPaths64};
    for (RecordedPathReader reader : kReaders) {
        std::wstring monitorPath, addOnPath;
        if (!reader(monitorPath, addOnPath)) {
            monitorPaths.clear();
            addOnPaths.clear();
            return 0;
        }
        monitorPaths.push_back(monitorPath);
        addOnPaths.push_back(addOnPath);
    }
    return 1;
}

}  // namespace qelmo
