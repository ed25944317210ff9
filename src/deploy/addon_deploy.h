// Deployment of the event add-on: the package's AddOn\KipEvt64.dll into
// System32\qelmo\20019\AddOn\<version> and AddOn\KipEvt.dll into the same chain under SysWOW64.
// Each freshly copied file is recorded in its own key below the service key (AddOn\KipEvt64,
// AddOn\KipEvt) with the values "path", "devpath" and "version".
#pragma once

#include <windows.h>

#include <string>

namespace qelmo {

// Places both add-on files of the package folder's AddOn sub-folder. *pdwCopied is 1 on entry and
// 0 once a copy was skipped; a skipped file is not registered. 1 when both steps are done, 0 on
// failure (what was done stays).
int BackupAddOn(const wchar_t* folder, DWORD* pdwCopied);

// Record targetFolder\KipEvt64.dll (SetAddOn64Registry) or targetFolder\KipEvt.dll
// (SetAddOnRegistry) in its add-on key. 0 when the service key is missing or a key cannot be
// created; the value writes themselves are not checked.
int SetAddOn64Registry(const wchar_t* targetFolder, std::wstring version);
int SetAddOnRegistry(const wchar_t* targetFolder, std::wstring version);

}  // namespace qelmo
