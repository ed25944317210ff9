// One driver-action record: the fixed sequence of lifecycle steps for its action.
#pragma once

#include <qelmo_plugin.h>

namespace qelmo {

uint32_t DoActionFromDrvInfo(const DrvInfo& rDrvInfo);

}  // namespace qelmo
