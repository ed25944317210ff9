#include "lifecycle/install.h"

#include <string>
#include <vector>

#include "common/driver_names.h"
#include "common/handles.h"
#include "common/registry_key.h"
#include "config/driver_parameters.h"
#include "deploy/addon_deploy.h"
#include "deploy/deploy_steps.h"
#include "deploy/module_deploy.h"
#include "lifecycle/driver_paths.h"
#include "lifecycle/lifecycle_log.h"
#include "lifecycle/service_security.h"
#include "service/inf_setup.h"

namespace qelmo {

namespace {

// A service deleted while another program held a handle to it stays until that handle closes,
// marked: Windows writes DeleteFlag = 1 into its key and refuses to start it or to add it again.
bool MarkedForDeletion(const wchar_t* name) {
    const std::wstring key = std::wstring(names::kServicesRoot) + name;
    DWORD deleteFlag = 0;
    return ReadRegDWORD(deleteFlag, key.c_str(), names::kDeleteFlag) && deleteFlag != 0;
}

}  // namespace

uint32_t InstallDrvFromDrvInfo(const DrvInfo& rDrvInfo) {
    namespace text = lifecycle_text;
    LIFECYCLE_TRACE(trace, L"InstallDrvFromDrvInfo");  // the early ways out write no leave line
    wchar_t wszNormalDriverFolder[names::kFolderUnits] = {};
    if (!ReadPackageFolder(rDrvInfo, wszNormalDriverFolder)) return DRV_ERR_FAILED;

    std::vector<std::wstring> monitorPaths, addOnPaths;
    CollectRecordedModulePaths(monitorPaths, addOnPaths);

    DWORD monitorCopied = 0;
    if (!BackupKipMon(wszNormalDriverFolder, &monitorCopied)) {
        LIFECYCLE_LOG(logid::kWarn, text::kKipMonFailed);
        return DRV_ERR_ABORT;
    }
    InitDriverServiceRegistry(wszNormalDriverFolder);
    DWORD addOnCopied = 0;
    if (!BackupAddOn(wszNormalDriverFolder, &addOnCopied)) {
        LIFECYCLE_LOG(logid::kWarn, text::kAddOnFailed);
        return DRV_ERR_ABORT;
    }

    uint32_t result = DRV_OK;
    for (const wchar_t* name : names::kServiceNames) {
        std::wstring infPath = InfPathFor(wszNormalDriverFolder, name);
        if (infPath.size() >= names::kInfPathUnits) {
            LIFECYCLE_LOG(logid::kError, text::kFailToInstall, infPath);
            result = DRV_ERR_ABORT;
            continue;
        }
        if (!_InstallDriverByInf(infPath.c_str())) {
            LIFECYCLE_LOG(logid::kError, text::kFailToInstall, infPath);
            result = DRV_ERR_ABORT;
            continue;
        }
        // The INF section could not add the service over a marked one, and the marked one that
        // can still be opened goes when the other handle closes: not installed.
        if (MarkedForDeletion(name)) {
            LIFECYCLE_LOG(logid::kWarn, text::kDeleteFlagMarks, name, text::kMarkedOnReboot);
            LIFECYCLE_LOG(logid::kError, text::kFailToInstall, infPath);
            result = DRV_ERR_ABORT;
            continue;
        }
        deploy::FlushServiceKey();
        LIFECYCLE_LOG(logid::kTrace, L"Success to install [", name, L"] service.");
    }
    if (result == DRV_OK) {
        WriteRegDWORD(1, names::kServiceKey, names::kPermCount);
        CreateParaRegKey(names::kServiceKey);
    }

    // The cleanup flags are 1 only when a deployment placed new copies of both files.
    RetireAfterDeployment(monitorPaths, addOnPaths, monitorCopied == 1, addOnCopied == 1);
    SetDriverServicePrivilege(true);
    deploy::FlushServiceKey();
    QTRACE_LEAVE(trace);
    return result;
}

}  // namespace qelmo
