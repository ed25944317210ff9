// Installing the driver from a package folder.
#pragma once

#include <qelmo_plugin.h>

namespace qelmo {

// Deploys the modules, writes the service key values, installs the service from the package's
// INF, stamps PermCount and Parameters, retires the previous module files and restricts the
// service object. DRV_OK, DRV_ERR_FAILED (bad path) or DRV_ERR_ABORT (deployment or INF failed).
uint32_t InstallDrvFromDrvInfo(const DrvInfo& rDrvInfo);

}  // namespace qelmo
