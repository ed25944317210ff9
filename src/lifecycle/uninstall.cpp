#include "lifecycle/uninstall.h"

#include <shlwapi.h>

#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/handles.h"
#include "common/registry_key.h"
#include "deploy/file_utils.h"
#include "lifecycle/driver_paths.h"
#include "lifecycle/lifecycle_log.h"
#include "lifecycle/service_security.h"
#include "service/inf_setup.h"
#include "service/service_control.h"

namespace qelmo {

namespace {
// After the INF's uninstall section the service is waited on for this long to be stopped.
constexpr DWORD kSettleTimeoutMs = 1000;

// Reads PermCount into permCount: ERROR_SUCCESS when it was read, and also when the key or the
// value is not there (permCount 0: no other installation counted); the error when it is there but
// cannot be read (access denied and the like). An error of the read is left as the last error too.
DWORD ReadPermCount(DWORD& permCount) {
    permCount = 0;
    CRegistryKey key;
    LONG error = key.Open(HKEY_LOCAL_MACHINE, names::kServiceKey, KEY_READ);
    if (error == ERROR_SUCCESS) error = key.QueryDWORDValue(permCount, names::kPermCount);
    if (error == ERROR_SUCCESS) return ERROR_SUCCESS;
    permCount = 0;
    SetLastError(static_cast<DWORD>(error));
    return NothingThere(static_cast<DWORD>(error)) ? ERROR_SUCCESS : static_cast<DWORD>(error);
}

}  // namespace

void RemoveFileAndTwoFolders(const std::wstring& path) {
    std::wstring folder, parent;
    bool hasFolder = GetParentFolder(path, folder) != 0;
    bool hasParent = hasFolder && GetParentFolder(folder, parent) != 0;
    ForceDeleteFile(path);
    if (hasFolder) RemoveModuleFolder(path, folder);
    if (hasParent) RemoveFolderNowOrAtRestart(parent);
}

void RemoveDeployedModules() {
    struct Entry {
        std::wstring (*folder)();
        RecordedPathReader reader;
    };
    static const Entry kEntries[] = {{GetSysWow64Folder, ReadRecordedPaths32},
                                     {GetSystem32Folder, ReadRecordedPaths64}};
    for (const Entry& entry : kEntries) {
        std::wstring base = entry.folder();
        std::wstring monitorPath, addOnPath;
        if (!entry.reader(monitorPath, addOnPath)) continue;
        RemoveFileAndTwoFolders(monitorPath);
        RemoveFileAndTwoFolders(addOnPath);
        RemoveFolderNowOrAtRestart(footprint::OwnerFolder(base));
        RemoveFolderNowOrAtRestart(footprint::ModuleRoot(base));
    }
}

uint32_t UninstallDrvFromDrvInfo(const DrvInfo& rDrvInfo) {
    namespace text = lifecycle_text;
    LIFECYCLE_TRACE(trace, L"UninstallDrvFromDrvInfo");  // the early ways out write no leave line
    uint32_t result = DRV_ERR_FAILED;
    if (!DriverPathIsTerminated(rDrvInfo)) {
        LIFECYCLE_LOG(logid::kError, text::kUnterminatedPath);
        return DRV_ERR_FAILED;
    }
    wchar_t wszNormalDriverFolder[names::kFolderUnits] = {};
    // The canonical form is never longer than the input, so an input that fits is safe to hand
    // to PathCanonicalizeW's fixed buffer.
    if (wcslen(rDrvInfo.wszDriverPath) >= names::kFolderUnits - 1 ||
        !PathCanonicalizeW(wszNormalDriverFolder, rDrvInfo.wszDriverPath)) {
        LIFECYCLE_LOG(logid::kTrace, text::kNormalizeFailed);
        return DRV_ERR_FAILED;
    }
    LIFECYCLE_LOG(logid::kTrace, text::kRawPath, rDrvInfo.wszDriverPath);
    LIFECYCLE_LOG(logid::kTrace, text::kNormalFolder, wszNormalDriverFolder);
    SetDriverServicePrivilege(false);

    for (const wchar_t* name : names::kServiceNames) {
        DWORD permCount = 0;
        if (const DWORD error = ReadPermCount(permCount); error != ERROR_SUCCESS) {
            // Another installation may hold the driver: removing it on a guess would break it.
            LIFECYCLE_LOG(logid::kError, L"fail to read ", names::kPermCount,
                          L", the driver is left installed. LastError = ", error);
            result = DRV_ERR_FAILED;
            break;
        }
        if (permCount > 1) {
            WriteRegDWORD(permCount - 1, names::kServiceKey, names::kPermCount);
            result = DRV_OK;
            break;
        }
        ScHandle scm = OpenServiceManager();
        if (!scm) {
            LIFECYCLE_LOG(logid::kWarn, L"fail to query driver[", name, L"] status");
            result = DRV_ERR_ABORT;
            break;
        }
        ScHandle service = OpenServiceForQuery(scm.get(), name);
        SERVICE_STATUS status = {};
        if (!service || !QueryServiceStatus(service.get(), &status)) continue;
        if (status.dwCurrentState != SERVICE_STOPPED && !StopDriver(name)) {
            LIFECYCLE_LOG(logid::kError, L"fail to stop original driver ", name);
            result = DRV_ERR_STOP_FAILED;
            break;
        }
        RemoveDeployedModules();
        std::wstring infPath = InfPathFor(wszNormalDriverFolder, name);
        if (infPath.size() >= names::kInfPathUnits || !_UnInstallDriverByInf(infPath.c_str())) {
            LIFECYCLE_LOG(logid::kError, L"fail to uninstall ", name, L" by inf.");
            result = DRV_ERR_ABORT;
            break;
        }
        result = DRV_OK;
        // The service must be down before its object can go; the uninstall section has
        // normally stopped it already, so this returns at once.
        const DWORD stopped[] = {SERVICE_STOPPED};
        if (!WaitForServiceStateEx(service.get(), stopped, 1, nullptr, kSettleTimeoutMs))
            LIFECYCLE_LOG(logid::kWarn, L"WaitForServiceState(SERVICE_RUNNING) timeout!");
        if (QueryServiceStatus(service.get(), &status)) {
            BOOL deleted = DeleteDriverService(scm.get());
            LIFECYCLE_LOG(logid::kTrace, L"Driver still exists, call DeleteService => ",
                          static_cast<uint32_t>(deleted));
        }
    }
    QTRACE_LEAVE(trace);
    return result;
}

}  // namespace qelmo
