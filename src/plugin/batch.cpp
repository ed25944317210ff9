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
        result = GuardedRecord(records[i]);
        if (result == DRV_ERR_ABORT) return result;
    }
    return result;
}

uint32_t GuardedRecord(const DrvInfo& rDrvInfo) noexcept {
    // Memory exhaustion (and the standard containers' length errors) end the record, never the
    // host: the record fails like any other and the batch goes on.
    try {
        return DoActionFromDrvInfo(rDrvInfo);
    } catch (...) {
        LogEscapedException(L"DoActionFromDrvInfo");
        return DRV_ERR_FAILED;
    }
}

void LogEscapedException(const wchar_t* operation) noexcept {
    try {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"An exception ended the operation: ", operation);
    } catch (...) {
        // Nothing is left to report it with.
    }
}

}  // namespace qelmo
