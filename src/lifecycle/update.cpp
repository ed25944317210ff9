#include "lifecycle/update.h"

#include <exception>
#include <string>
#include <vector>

#include "common/debug_log.h"
#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/registry_key.h"
#include "deploy/addon_deploy.h"
#include "deploy/module_deploy.h"
#include "lifecycle/driver_backup.h"
#include "lifecycle/driver_paths.h"
#include "lifecycle/lifecycle_log.h"
#include "lifecycle/registry_repair.h"
#include "service/inf_setup.h"
#include "service/service_control.h"

namespace qelmo {

namespace {

constexpr const wchar_t* kStoppedDebugLine =
    L"[helperQELMODriver] SERVICE_STOPPED! LastError is UNKNOWN_REVISION, return success to OXAL!";
constexpr DWORD kZrkFlagNoStart = 0x1;

void InstallFromInf(const std::wstring& infPath, bool logSuccess) {
    if (_InstallDriverByInf(infPath.c_str())) {
        if (logSuccess) LIFECYCLE_LOG(logid::kTrace, L"Success to install driver by INF");
    } else {
        LIFECYCLE_LOG(logid::kError, lifecycle_text::kFailToInstall, infPath);
    }
}

// A service that exists without PermCount was created by another installation: this plug-in's
// install always writes PermCount once its INF step succeeded.
bool InstalledByAnotherProduct(const wchar_t* name) {
    if (!IsDriverExist(name)) return false;
    DWORD permCount = 0;
    return !ReadRegDWORD(permCount, names::kServiceKey, names::kPermCount);
}

// Deletes the backup in the package folder when the scope is left by an exception.
class BackupRemovalOnUnwind {
public:
    explicit BackupRemovalOnUnwind(const std::wstring& packageFolder)
        : packageFolder_(packageFolder), exceptions_(std::uncaught_exceptions()) {}
    ~BackupRemovalOnUnwind() {
        if (std::uncaught_exceptions() > exceptions_)
            DeleteBackupDriverFiles(packageFolder_.c_str());
    }
    BackupRemovalOnUnwind(const BackupRemovalOnUnwind&) = delete;
    BackupRemovalOnUnwind& operator=(const BackupRemovalOnUnwind&) = delete;

private:
    const std::wstring& packageFolder_;
    int exceptions_;
};

}  // namespace

void EnsureDriverService(const wchar_t* name, const std::wstring& driverFolder) {
    LIFECYCLE_LOG(logid::kTrace, L"Check if the driver is exist: ", name);
    if (!IsDriverExist(name)) {
        InstallFromInf(InfPathFor(driverFolder, name), true);
    } else if (_CheckDeleteFlagRegistry(name)) {
        if (StopDriver(name) != 1) {
            // Nothing is formatted into the INF path before this point.
            LIFECYCLE_LOG(logid::kError, L"fail to stop ");
        } else {
            InstallFromInf(InfPathFor(driverFolder, name), false);
        }
    } else if (wcscmp(name, names::kServiceName) == 0) {
        LIFECYCLE_LOG(logid::kTrace, L"Check qelmo is installed by other Vantor products?");
        if (InstalledByAnotherProduct(name)) {
            LIFECYCLE_LOG(logid::kTrace,
                          L"qelmo is installed by other Vantor products, we should modify its "
                          L"registry.");
            if (!ModifyQelmoRegistry())
                LIFECYCLE_LOG(logid::kError, L"fail in ModifyQelmoRegistry()!");
        }
    }
}

uint32_t UpdateDrvFromDrvInfo(const DrvInfo& rDrvInfo) {
    namespace text = lifecycle_text;
    LIFECYCLE_LOG(logid::kTrace, L"==> ", L"UpdateDrvFromDrvInfo", L",");
    CDebugLog debugLog;
    debugLog.Init();
    wchar_t wszNormalDriverFolder[names::kFolderUnits] = {};
    if (!ReadPackageFolder(rDrvInfo, wszNormalDriverFolder)) return DRV_ERR_FAILED;

    std::vector<std::wstring> monitorPaths, addOnPaths;
    const bool recorded = CollectRecordedModulePaths(monitorPaths, addOnPaths) != 0;
    DWORD monitorCopied = 0;
    if (!BackupKipMon(wszNormalDriverFolder, &monitorCopied)) {
        LIFECYCLE_LOG(logid::kWarn, text::kKipMonFailed);
        return DRV_ERR_ABORT;
    }
    DWORD addOnCopied = 0;
    if (!BackupAddOn(wszNormalDriverFolder, &addOnCopied)) {
        LIFECYCLE_LOG(logid::kWarn, text::kAddOnFailed);
        return DRV_ERR_ABORT;
    }

    for (const wchar_t* name : names::kServiceNames)
        EnsureDriverService(name, wszNormalDriverFolder);

    const std::wstring packageFolder = WithTrailingSeparator(wszNormalDriverFolder);
    wchar_t windowsDirectory[MAX_PATH] = {};
    UINT windowsUnits = GetWindowsDirectoryW(windowsDirectory, MAX_PATH);
    if (windowsUnits == 0 || windowsUnits >= MAX_PATH) {
        LIFECYCLE_LOG(logid::kError, L"Get windows directory failed.");
        return DRV_ERR_ABORT;
    }
    const std::wstring driversFolder = footprint::DriversFolder(windowsDirectory);

    // From the backup on, every return removes the backup and writes the exit line.
    auto finish = [&packageFolder](uint32_t status) {
        DeleteBackupDriverFiles(packageFolder.c_str());
        LIFECYCLE_LOG(logid::kTrace, L"<== ", L"UpdateDrvFromDrvInfo", L",", L"asStatus = ",
                      status);
        return status;
    };

    // An exception (memory exhaustion) that leaves from the backup on takes the backup with it,
    // as every return does.
    const BackupRemovalOnUnwind removeBackupOnUnwind(packageFolder);
    LIFECYCLE_LOG(logid::kTrace, L"backup original driver file from: ", driversFolder, L" to ",
                  packageFolder);
    if (!CopyDriverFiles(driversFolder.c_str(), packageFolder.c_str(), DRV_COPY_BACKUP)) {
        LIFECYCLE_LOG(logid::kTrace, L"backup original driver file failed.");
        return finish(DRV_ERR_ABORT);
    }

    for (const wchar_t* name : names::kServiceNames) {
        SERVICE_STATUS status = {};
        if (!QueryDriverServiceStatus(name, &status)) {
            LIFECYCLE_LOG(logid::kTrace, L"fail to query driver[", name, L"] status");
            continue;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) continue;
        LIFECYCLE_LOG(logid::kTrace, L"try to stop original driver: ", name);
        if (!StopDriver(name)) {
            LIFECYCLE_LOG(logid::kError, L"fail to stop original driver: ", name);
            // Nothing was replaced: this is a failure, not a pending success.
            return finish(DRV_ERR_NOT_STOPPED);
        }
        LIFECYCLE_LOG(logid::kTrace, L"Success to stop original driver: ", name);
    }

    LIFECYCLE_LOG(logid::kTrace, L"replace original driver file with new ones from: ",
                  packageFolder, L" to ", driversFolder);
    if (!CopyDriverFiles(packageFolder.c_str(), driversFolder.c_str(), DRV_COPY_REPLACE)) {
        LIFECYCLE_LOG(logid::kError, L"replace original driver file with new ones failed.");
        uint32_t status = DRV_ERR_ABORT;
        if (!CopyDriverFiles(packageFolder.c_str(), driversFolder.c_str(), DRV_COPY_ROLLBACK)) {
            LIFECYCLE_LOG(logid::kError, L"rollback to original driver file failed.");
            return finish(DRV_ERR_ROLLBACK_FAILED);
        }
        LIFECYCLE_LOG(logid::kTrace, L"rollback to original driver file successfully.");
        if (!StartDriverService(names::kServiceName)) {
            DWORD error = GetLastError();
            if (error == ERROR_UNKNOWN_REVISION) {
                LIFECYCLE_LOG(logid::kTrace, L"Not support on this platform.");
                debugLog.Write(nullptr, L"%ls", kStoppedDebugLine);
                status = DRV_OK;
            } else if (error == ERROR_DRIVER_BLOCKED) {
                LIFECYCLE_LOG(logid::kTrace, L"Blocked by boot status.");
                status = DRV_OK;
            } else {
                LIFECYCLE_LOG(logid::kError, L"start original driver file failed.");
                status = DRV_ERR_ROLLBACK_FAILED;
            }
        }
        return finish(status);
    }

    for (const wchar_t* name : names::kServiceNames) {
        LIFECYCLE_LOG(logid::kTrace,
                      L"query original driver to ensure original drivers was stopped: ", name);
        SERVICE_STATUS status = {};
        if (!QueryDriverServiceStatus(name, &status)) {
            LIFECYCLE_LOG(logid::kTrace, L"fail to query original driver[", name, L"] status");
        } else if (status.dwCurrentState == SERVICE_STOPPED) {
            LIFECYCLE_LOG(logid::kTrace, L"original driver was already stopped: ", name);
        } else {
            LIFECYCLE_LOG(logid::kError, L"original driver not yet stopped: ", name);
            return finish(DRV_OK_PENDING);
        }
    }

    DWORD zrkFlags = 0;
    if (!ReadRegDWORD(zrkFlags, names::kServiceKey, names::kZrkFlags)) zrkFlags = 0;
    if (!(zrkFlags & kZrkFlagNoStart)) {
        for (const wchar_t* name : names::kServiceNames) {
            if (StartDriverService(name)) {
                LIFECYCLE_LOG(logid::kTrace, L"Success to start new driver: ", name);
                continue;
            }
            LIFECYCLE_LOG(logid::kError, L"fail to start new driver.", name);
            if (GetLastError() == ERROR_UNKNOWN_REVISION) {
                LIFECYCLE_LOG(logid::kTrace, L"Not support on this platform.");
                debugLog.Write(nullptr, L"%ls", kStoppedDebugLine);
                continue;
            }
            if (!CopyDriverFiles(packageFolder.c_str(), driversFolder.c_str(), DRV_COPY_ROLLBACK)) {
                LIFECYCLE_LOG(logid::kError, L"rollback to original driver file failed.");
                return finish(DRV_ERR_ROLLBACK_FAILED);
            }
            // The original file is back: bring the original driver back up as well.
            if (!StartDriverService(name))
                LIFECYCLE_LOG(logid::kError, L"start original driver file failed.");
            return finish(DRV_ERR_ROLLED_BACK);
        }
    }

    DeleteBackupDriverFiles(packageFolder.c_str());
    if (recorded) RetireAfterDeployment(monitorPaths, addOnPaths, monitorCopied, addOnCopied);
    LIFECYCLE_LOG(logid::kTrace, L"<== ", L"UpdateDrvFromDrvInfo", L",", L"asStatus = ", DRV_OK);
    return DRV_OK;
}

}  // namespace qelmo
