// What the exports call: the batch, and the status report.
#pragma once

#include <qelmo_plugin.h>

namespace qelmo {

// Runs the records in order (see DoActionFromDrvInfo); stops at the first DRV_ERR_ABORT.
uint32_t DriversDoAction(const DrvInfo* records, uint32_t count);
// One status record for the driver, handed to the callback; always DRV_OK.
uint32_t EnumerateDriversInfo(DriverEnumCallback callback, void* context);
// One record of the batch: DoActionFromDrvInfo, with an exception out of it (memory exhaustion)
// logged at level 5 and turned into DRV_ERR_FAILED.
uint32_t GuardedRecord(const DrvInfo& rDrvInfo) noexcept;
// The level-5 line for an exception that ended `operation`; never throws.
void LogEscapedException(const wchar_t* operation) noexcept;

}  // namespace qelmo
