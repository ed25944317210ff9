// Starting, stopping, querying, waiting on and deleting the driver service through the service
// control manager. Functions returning BOOL leave the Windows last error as part of their result:
// 1053 (a wait ran out), 1056 (stop refused: an instance of the service is alive), 1305 (a started
// service fell back to stopped), 1460 (the wait's own time-out), or the SCM's error.
#pragma once

#include <windows.h>

namespace qelmo {

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

BOOL StartServiceAndWait(SC_HANDLE scm, const wchar_t* name);
BOOL StartDriverService(const wchar_t* name);
BOOL StopDriver(const wchar_t* name);
BOOL QueryDriverServiceStatus(const wchar_t* name, SERVICE_STATUS* status);
BOOL DeleteDriverService(SC_HANDLE scm);
BOOL IsDriverExist(const wchar_t* name);
BOOL HasNoMailslotInstance(const wchar_t* name);
void PrintToConsole(const char* format, ...);

}  // namespace qelmo
