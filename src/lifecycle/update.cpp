#include "lifecycle/update.h"

#include <string>
#include <utility>
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
// install always writes PermCount once its INF step succeeded. Only a value that is not there
// says so; a read that fails otherwise (access denied) says nothing, and counting an installation
// on it would keep the driver through a later uninstall.
bool InstalledByAnotherProduct(const wchar_t* name) {
    if (!IsDriverExist(name)) return false;
    CRegistryKey key;
    LONG error = key.Open(HKEY_LOCAL_MACHINE, names::kServiceKey, KEY_READ);
    DWORD permCount = 0;
    if (error == ERROR_SUCCESS) error = key.QueryDWORDValue(permCount, names::kPermCount);
    return error == ERROR_FILE_NOT_FOUND;
}

// The update's hold on the installed driver file, from its backup into the package folder until
// the update returns: the backup is removed on every way out, and the rollback copies it back.
class DriverFileGuard {
public:
    DriverFileGuard(std::wstring packageFolder, std::wstring driversFolder)
        : packageFolder_(std::move(packageFolder)), driversFolder_(std::move(driversFolder)) {}
    // Also when the update is left by an exception (memory exhaustion): nothing may leave a
    // destructor, so a failure of the removal itself is swallowed here.
    ~DriverFileGuard() {
        try {
            DiscardBackup();
        } catch (...) {
        }
    }
    DriverFileGuard(const DriverFileGuard&) = delete;
    DriverFileGuard& operator=(const DriverFileGuard&) = delete;

    bool Backup() {
        LIFECYCLE_LOG(logid::kTrace, L"backup original driver file from: ", driversFolder_, L" to ",
                      packageFolder_);
        return Copy(driversFolder_, packageFolder_, DRV_COPY_BACKUP);
    }
    bool Replace() {
        LIFECYCLE_LOG(logid::kTrace, L"replace original driver file with new ones from: ",
                      packageFolder_, L" to ", driversFolder_);
        return Copy(packageFolder_, driversFolder_, DRV_COPY_REPLACE);
    }
    // Puts the backup back in the drivers folder; a failure is logged.
    bool RollBack() {
        if (Copy(packageFolder_, driversFolder_, DRV_COPY_ROLLBACK)) return true;
        LIFECYCLE_LOG(logid::kError, L"rollback to original driver file failed.");
        return false;
    }
    // Removes the backup (once).
    void DiscardBackup() {
        if (discarded_) return;
        // Marked only once done: when the removal is cut short by an exception, the destructor
        // tries again.
        DeleteBackupDriverFiles(packageFolder_.c_str());
        discarded_ = true;
    }

private:
    static bool Copy(const std::wstring& from, const std::wstring& to, DWORD mode) {
        return CopyDriverFiles(from.c_str(), to.c_str(), mode) != 0;
    }

    std::wstring packageFolder_;
    std::wstring driversFolder_;
    bool discarded_ = false;
};

// The result of the driver file step, and whether the new driver file stays (only then are the
// previous modules retired).
struct DriverFileOutcome {
    uint32_t status;
    bool newDriverKept;
};

// Backs the installed driver up, stops it, puts the new file in place and starts it; rolls the
// original file back when the replace or the start fails.
DriverFileOutcome ReplaceDriverFile(DriverFileGuard& guard, CDebugLog& debugLog) {
    if (!guard.Backup()) {
        LIFECYCLE_LOG(logid::kTrace, L"backup original driver file failed.");
        return {DRV_ERR_ABORT, false};
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
            // Nothing was replaced; the host knows this case as a pending success.
            return {DRV_OK_PENDING, false};
        }
        LIFECYCLE_LOG(logid::kTrace, L"Success to stop original driver: ", name);
    }

    if (!guard.Replace()) {
        LIFECYCLE_LOG(logid::kError, L"replace original driver file with new ones failed.");
        if (!guard.RollBack()) return {DRV_ERR_ROLLBACK_FAILED, false};
        LIFECYCLE_LOG(logid::kTrace, L"rollback to original driver file successfully.");
        if (StartDriverService(names::kServiceName)) return {DRV_ERR_ABORT, false};
        const DWORD error = GetLastError();
        if (error == ERROR_UNKNOWN_REVISION) {
            LIFECYCLE_LOG(logid::kTrace, L"Not support on this platform.");
            debugLog.Write(nullptr, L"%ls", kStoppedDebugLine);
            return {DRV_OK, false};
        }
        if (error == ERROR_DRIVER_BLOCKED) {
            LIFECYCLE_LOG(logid::kTrace, L"Blocked by boot status.");
            return {DRV_OK, false};
        }
        LIFECYCLE_LOG(logid::kError, L"start original driver file failed.");
        return {DRV_ERR_ROLLBACK_FAILED, false};
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
            return {DRV_OK_PENDING, false};
        }
    }

    DWORD zrkFlags = 0;
    if (!ReadRegDWORD(zrkFlags, names::kServiceKey, names::kZrkFlags)) zrkFlags = 0;
    if (zrkFlags & kZrkFlagNoStart) return {DRV_OK, true};
    for (const wchar_t* name : names::kServiceNames) {
        if (StartDriverService(name)) {
            LIFECYCLE_LOG(logid::kTrace, L"Success to start new driver: ", name);
            continue;
        }
        const DWORD startError = GetLastError();
        LIFECYCLE_LOG(logid::kError, L"fail to start new driver.", name);
        if (startError == ERROR_UNKNOWN_REVISION) {
            LIFECYCLE_LOG(logid::kTrace, L"Not support on this platform.");
            debugLog.Write(nullptr, L"%ls", kStoppedDebugLine);
            continue;
        }
        if (!guard.RollBack()) return {DRV_ERR_ROLLBACK_FAILED, false};
        // The original file is back but stays stopped (the safety-net reset stopped it before
        // the update); only a failed replace starts it again.
        return {DRV_ERR_ROLLED_BACK, false};
    }
    return {DRV_OK, true};
}

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
    LIFECYCLE_TRACE(trace, L"UpdateDrvFromDrvInfo");  // the early ways out write no leave line
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

    DriverFileGuard guard(packageFolder, driversFolder);
    const DriverFileOutcome outcome = ReplaceDriverFile(guard, debugLog);
    guard.DiscardBackup();
    if (outcome.newDriverKept && recorded)
        RetireAfterDeployment(monitorPaths, addOnPaths, monitorCopied != 0, addOnCopied != 0);
    QTRACE_LEAVE(trace, L"asStatus = ", outcome.status);
    return outcome.status;
}

}  // namespace qelmo
