#include "plugin/dispatch.h"

#include "common/log.h"
#include "common/trace.h"
#include "config/safety_net.h"
#include "lifecycle/config_flags.h"
#include "lifecycle/install.h"
#include "lifecycle/service_security.h"
#include "lifecycle/uninstall.h"
#include "lifecycle/update.h"
#include "plugin/plugin_names.h"

namespace qelmo {

namespace {

#define DISPATCH_LOG(level, ...) QLOG(logid::kCatInstall, logid::kSrcHelper, level, __VA_ARGS__)

// Actions 1 and 3: flags, pause, safety-net reset, relax, update, restrict (whatever the result).
uint32_t RunUpdate(const DrvInfo& rDrvInfo, bool logCompareState) {
    ConfigRegCfgFlagsByProduct();
    Sleep(plugin::kPauseAfterRegistryFlagsMs);
    ResetSafetyNet();
    SetDriverServicePrivilege(false);
    if (logCompareState)
        DISPATCH_LOG(logid::kTrace, L"rDrvInfo.compare_state = ", rDrvInfo.compare_state);
    uint32_t result = UpdateDrvFromDrvInfo(rDrvInfo);
    SetDriverServicePrivilege(true);
    return result;
}

}  // namespace

uint32_t DoActionFromDrvInfo(const DrvInfo& rDrvInfo) {
    QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace,
                 L"DoActionFromDrvInfo", L"rDrvInfo.action = ", rDrvInfo.action,
                 L", rDrvInfo.compare_state = ", rDrvInfo.compare_state);
    uint32_t asStatus = DRV_ERR_FAILED;
    switch (rDrvInfo.action) {
        case ACTION_INSTALL:
            asStatus = InstallDrvFromDrvInfo(rDrvInfo);
            if (asStatus == DRV_OK) {
                ConfigRegCfgFlagsByProduct();
                Sleep(plugin::kPauseAfterRegistryFlagsMs);
            } else {
                DISPATCH_LOG(logid::kError,
                             L"Installation failed, skipping registry configuration. Error "
                             L"status: ",
                             asStatus);
            }
            break;
        case ACTION_UPDATE:
            asStatus = RunUpdate(rDrvInfo, true);
            break;
        case ACTION_UNINSTALL:
            ResetSafetyNet();
            asStatus = UninstallDrvFromDrvInfo(rDrvInfo);
            break;
        case ACTION_UPDATE_ALT:
            asStatus = RunUpdate(rDrvInfo, false);
            break;
        default:
            break;
    }
    QTRACE_LEAVE(trace, L"asStatus = ", asStatus);
    return asStatus;
}

}  // namespace qelmo
