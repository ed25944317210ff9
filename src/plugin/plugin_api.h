// What the exports call: the batch, and the status report.
#pragma once

#include <qelmo_plugin.h>

namespace qelmo {

// Runs the records in order (see DoActionFromDrvInfo); stops at the first DRV_ERR_ABORT.
uint32_t DriversDoAction(const DrvInfo* records, uint32_t count);
// One status record for the driver, handed to the callback; always DRV_OK.
uint32_t EnumerateDriversInfo(DriverEnumCallback callback, void* context);

}  // namespace qelmo
