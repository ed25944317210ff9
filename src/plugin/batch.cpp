// The batch behind Plugin_Interface_DriversDoAction.
#include "common/log.h"
#include "plugin/dispatch.h"
#include "plugin/plugin_api.h"

namespace qelmo {

uint32_t DriversDoAction(const DrvInfo* records, uint32_t count) {
    if (count == 0) return DRV_ERR_ABORT;
    // A host that passes records without an array gets a refusal, never a crash.
    if (!records) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"The driver record array is null, record count: ", count);
        return DRV_ERR_ABORT;
    }
    uint32_t result = DRV_ERR_FAILED;
    for (uint32_t i = 0; i < count; ++i) {
        result = DoActionFromDrvInfo(records[i]);
        if (result == DRV_ERR_ABORT) return result;
    }
    return result;
}

}  // namespace qelmo
