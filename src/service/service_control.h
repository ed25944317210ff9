// Starting, stopping, querying, waiting on and deleting the driver service through the service
// control manager. Functions returning BOOL leave the Windows last error as part of their result:
// 1053 (a wait ran out), 1056 (stop refused: an instance of the service is alive), 1305 (a started
// service fell back to stopped), 1460 (the wait's own time-out), or the SCM's error.
#pragma once

#include <windows.h>

#include "common/handles.h"

namespace qelmo {

// The local service manager, opened with the access the controls here use; empty with the last
// error when it cannot be opened.
ScHandle OpenServiceManager();
// The named service, opened through `scm` for status queries; empty with the last error.
ScHandle OpenServiceForQuery(SC_HANDLE scm, const wchar_t* name);

// Waits until the service reports one of `states` (true), the time-out passes (false, 1460), a
// query fails (false), or the checkpoint falls while the state stays the same (false).
// timeoutMs 0xFFFFFFFF waits without limit. `status` may be null.
BOOL WaitForServiceStateEx(SC_HANDLE service, const DWORD* states, DWORD count,
                           SERVICE_STATUS* status, DWORD timeoutMs);
// Pause between two polls for a wait hint: 200 ms below 10 s hints, else hint/10 up to 10 s.
DWORD WaitPauseMs(DWORD waitHint);
// True when more than `timeoutMs` passed between two GetTickCount readings (never for 0xFFFFFFFF).
// Measured as a difference, so a tick count that wraps around during the wait changes nothing.
bool WaitDeadlinePassed(DWORD startTick, DWORD nowTick, DWORD timeoutMs);

// Starts the service and waits up to 30 s: true when it runs or already ran (1056 is left as the
// last error then); false with 1305 when it stopped again, 1053 when the wait failed, or the
// error of OpenServiceW / StartServiceW.
BOOL StartServiceAndWait(SC_HANDLE scm, const wchar_t* name);
// StartServiceAndWait on a service manager of its own. A null or empty name: false, 87.
BOOL StartDriverService(const wchar_t* name);
// Stops the service and waits up to 30 s for STOPPED (false with 1053 when it does not come).
// While an instance mailslot of the service exists: false with 1056, and no control is sent.
BOOL StopDriver(const wchar_t* name);
// QueryServiceStatus of the named service. A null or empty name or a null record: false, 87.
BOOL QueryDriverServiceStatus(const wchar_t* name, SERVICE_STATUS* status);
// Deletes the service "qelmo" through the caller's service manager handle.
BOOL DeleteDriverService(SC_HANDLE scm);
BOOL IsDriverExist(const wchar_t* name);
// True when none of "\\.\mailslot\<name>_INSTANCE0" .. "_INSTANCE15" can be opened.
BOOL HasNoMailslotInstance(const wchar_t* name);
// printf to standard output (flushed); keeps the last error.
void PrintToConsole(const char* format, ...);

}  // namespace qelmo
