// RegCfgFlags of the driver's service key, adjusted before the driver is (re)started.
#pragma once

namespace qelmo {

// Clears bit 0 of RegCfgFlags and keeps every other bit; the value is always written (a missing
// value or key is created as 0). Failures are only logged.
void ConfigRegCfgFlagsByProduct();

}  // namespace qelmo
