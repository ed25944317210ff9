// Taking over a driver service that already exists: is it marked for deletion, and counting this
// installation into PermCount while clearing the mark.
#pragma once

#include <windows.h>

namespace qelmo {

// 1 when the service key's DeleteFlag could be read and is nonzero, else 0 (also for a missing
// key or a null name).
DWORD _CheckDeleteFlagRegistry(const wchar_t* serviceName);

// On the "qelmo" service key: PermCount + 1 (1 when unreadable; 0xFFFFFFFF wraps to 0), then
// DeleteFlag deleted. 1 when the key could be opened, else 0.
DWORD ModifyQelmoRegistry();

}  // namespace qelmo
