// The plug-in's side of the driver's safety net: the marker file in the system directory, named
// by the MD5 of the LastLeaveTime stamp, and the reset that runs before every update and
// uninstall (driver stopped, file deleted, StatusCode 9999, new LastLeaveTime).
#pragma once

#include <windows.h>

#include <string>

namespace qelmo {

// Reads a REG_SZ value of HKLM\<subkey>: the stored characters up to the first NUL or the end
// of the data. False for a missing key or value, or any other type.
bool GetRegStringValue(const wchar_t* subkey, const wchar_t* valueName, std::wstring& text);

// The stem of the safety-net file for a LastLeaveTime text: lowercase hex MD5 of its UTF-16LE

// <system drive>\Windows\System32\<stem>.dat, appended to `path` (callers pass it empty).
// 0, or the error of reading the system directory (path then unchanged).
DWORD GetSafetyNetFilePath(std::wstring& path);

// True when no safety-net file is left (absent or deleted); false with `message` set otherwise.
bool DeleteSafetyNetFile(std::wstring& message);

// Stops the driver, deletes the file under the current name, then writes StatusCode 9999 and a
// new LastLeaveTime. Every failure is only logged.
void ResetSafetyNet();

}  // namespace qelmo
