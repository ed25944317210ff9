// Constants of service control and INF setup: access masks, wait timing, the instance mailslot
// names, the INF sections and the log texts that appear in more than one place.
#pragma once

#include <windows.h>

#include <cstddef>

namespace qelmo::svc {

// Service control manager and service access, per operation.
inline constexpr DWORD kScmAccess = SC_MANAGER_ALL_ACCESS;                   // 0xF003F
inline constexpr DWORD kStartAccess = SERVICE_START | SERVICE_QUERY_STATUS;  // 0x14
inline constexpr DWORD kStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;    // 0x24
inline constexpr DWORD kQueryAccess = SERVICE_QUERY_STATUS;                  // 0x4
inline constexpr DWORD kDeleteAccess = DELETE;                               // 0x10000

// Waiting for a state.
inline constexpr DWORD kNoTimeout = 0xFFFFFFFF;
inline constexpr DWORD kStartWaitMs = 30000;
inline constexpr DWORD kStopWaitMs = 30000;
inline constexpr DWORD kWaitHintDivisor = 10;     // pause = hint / 10 ...
inline constexpr DWORD kShortHintPauseMs = 1000;  // ... unless that is below 1 s:
inline constexpr DWORD kMinPauseMs = 200;         // then 200 ms
inline constexpr DWORD kMaxPauseMs = 10000;       // and never more than 10 s

// Instance mailslots "\\.\mailslot\<service>_INSTANCE<n>", n = 0 .. 15. Only probed, never used.
inline constexpr const wchar_t* kMailslotFormat = L"\\\\.\\mailslot\\%ls_INSTANCE%d";
inline constexpr int kMailslotInstances = 16;
inline constexpr size_t kMailslotNameUnits = MAX_PATH;

// INF sections, run in mode 128; the command line buffer holds 520 units with its NUL.
inline constexpr const wchar_t* kInfInstallSection = L"DefaultInstall";
inline constexpr const wchar_t* kInfUninstallSection = L"DefaultUninstall";
inline constexpr const wchar_t* kInfCommandFormat = L"%ls 128 %ls";
inline constexpr size_t kInfCommandUnits = 520;

// Log text pieces.
inline constexpr const wchar_t* kOpenServiceFailed = L"OpenService failed. error code: ";
inline constexpr const wchar_t* kStartServiceFailed =
    L"ControlService failed! function:StartService, error code: ";
inline constexpr const wchar_t* kFellBackToStopped =
    L"WaitForServiceState(SERVICE_STOPPED) success! Translate the status code to "
    L"ERROR_UNKNOWN_REVISION";
inline constexpr const wchar_t* kWaitTimedOut = L"WaitForServiceState(SERVICE_RUNNING) timeout!";
inline constexpr const wchar_t* kDebugFileTag = L"[drivermanage] ";
inline constexpr const wchar_t* kIncorrectInfPath = L"Incorrect driver INF filepath.";

}  // namespace qelmo::svc
