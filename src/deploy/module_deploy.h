// Deployment of the monitor engine: kipmon64.dll into System32\qelmo\20019\KipMon\<version> and
// kipmon.dll into the same chain under SysWOW64, with both placed paths (ordinary and NT device
// form) recorded in the driver's service key.
#pragma once

#include <windows.h>

namespace qelmo {

// Places both engine files of the package folder. *pdwCopied is 1 on entry and 0 once a copy was
// skipped (source missing or target already present); a file in place is never replaced.
// 1 when both files are placed or skipped and registered; 0 on failure (what was done stays).
int BackupKipMon(const wchar_t* folder, DWORD* pdwCopied);

// Writes folder\fileName and its device form into the service key's two values and flushes the
// key. Write failures are not reported: 1 unless an argument is null.
int SetKipMonRegistry(const wchar_t* folder, const wchar_t* fileName, const wchar_t* pathValueName,
                      const wchar_t* devValueName);

}  // namespace qelmo
