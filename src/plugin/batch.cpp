#include "plugin/plugin_api.h"

namespace qelmo {

uint32_t DriversDoAction(const DrvInfo*, uint32_t) {
    return DRV_ERR_ABORT;
}
uint32_t EnumerateDriversInfo(DriverEnumCallback, void*) {
    return DRV_OK;
}

}  // namespace qelmo
