#include "lifecycle/config_flags.h"

#include <windows.h>

#include "common/driver_names.h"
#include "common/log.h"
#include "common/registry_key.h"
#include "lifecycle/lifecycle_names.h"

namespace qelmo {

void ConfigRegCfgFlagsByProduct() {
    DWORD flags = 0;
    if (ReadRegDWORD(flags, names::kServiceKey, names::kRegCfgFlags)) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace,
             L"[ConfigRegCfgFlagsByProduct] Get RegCfgFlags succeed: ", flags);
    } else {
        flags = 0;
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"[ConfigRegCfgFlagsByProduct] Get RegCfgFlags failed: ", flags);
    }

    DWORD updated = flags & lifecycle::kRegCfgFlagsKeepMask;
    if (WriteRegDWORD(updated, names::kServiceKey, names::kRegCfgFlags))
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kTrace,
             L"[ConfigRegCfgFlagsByProduct] Write RegCfgFlags succeed: ", updated);
    else
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"[ConfigRegCfgFlagsByProduct] Write RegCfgFlags failed: ", updated);
}

}  // namespace qelmo
