// The driver's configuration values under its service key and the service key's Parameters
// sub-key: the install stamps, the Parameters defaults, the LastLeaveTime stamp and the small
// writers the lifecycle and the safety net call. Failures are logged under the installation
// category; LastLeaveTime is stored as REG_SZ without its terminating NUL.
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

namespace qelmo {

// Stamps QELMOSystemDiskName, GHSwitch and ZrkFlags into the service key (creating it), then
// creates Parameters and writes its defaults. False when Parameters could not be opened or
// created. The driver folder does not influence anything written.
bool InitDriverServiceRegistry(const wchar_t* driverFolder);

// Creates (or opens) <keyPath>\Parameters, then stamps LastLeaveTime. False only when the
// stamp could not be written.
bool CreateParaRegKey(const wchar_t* keyPath);

// GGCT, GGCS, ALSN and StatusCode defaults and LastLeaveTime = "undefined", written into
// Parameters (created when only it is missing). Results are not reported.
void SetParaRegDefaultValues();

// Writes a REG_DWORD into Parameters, creating the sub-key when only it is missing.
// Win32 error code, 0 on success.
DWORD SetParaRegValueDWORD(const wchar_t* valueName, DWORD value);

// Stores the current local time as LastLeaveTime. Never creates Parameters.
bool SetLastLeaveSafetyNetTimeToCurrentTime();

// "YYYY-MM-DD hh:mm:ss" of a local time (the day of the week is ignored).
std::wstring FormatLastLeaveTime(const SYSTEMTIME& time);

// Opens HKLM\<serviceKeyPath> and creates or opens its Parameters sub-key; both handles are
// closed again. Win32 error code of the open, or else of the create; a failure is logged as
// "Create sub key [<path>][Parameters] failed: <code>".
LONG CreateParametersSubkey(const wchar_t* serviceKeyPath);
// The same, keeping the Parameters key open in `parameters` (empty on failure) for the values
// that follow.
LONG OpenParametersSubkey(const wchar_t* serviceKeyPath, RegKeyHandle& parameters);
// Writes a REG_DWORD into an open Parameters key. Win32 error code, 0 on success.
DWORD SetParaValueDWORD(HKEY parameters, const wchar_t* valueName, DWORD value);
// SetParaRegDefaultValues' values, written into an open Parameters key.
void SetParaDefaultValuesIn(HKEY parameters);
// Stores the current local time as LastLeaveTime of an open Parameters key.
bool StampLastLeaveTime(HKEY parameters);

}  // namespace qelmo
