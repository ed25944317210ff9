// File, folder, path and version-resource helpers of the module deployment.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "common/system_folders.h"

namespace qelmo {

namespace Utilities {
// 1 and the file-version text of the version resource; 0 (version untouched) when none.
int GetFileVersion(const std::wstring& path, std::wstring& version);
// Appends "\" + name to folder, then creates it: 0 when it now exists as a directory, else the
// Windows error (183 when a file holds the name).
DWORD CreateFolder(std::wstring& folder, const wchar_t* name);
// The path in NT device form (\Device\HarddiskVolume3\...); empty when it cannot be expanded.
std::wstring GetDevicePath(const wchar_t* path);
}  // namespace Utilities

// Copies (overwriting) and flushes the target before returning; 0 with the last error on failure.
int CopyFileAndFlush(const wchar_t* source, const wchar_t* target);
// Places a flushed copy of source under target so that the target's name only ever names a whole
// file: the copy is written to target + `temporarySuffix` (a leftover of an interrupted run is
// overwritten) and flushed; then `beforeRename` runs (when given) and the copy is renamed to the
// target in one step. An existing target is kept and the rename fails. False with the last error
// on failure; the temporary is removed then.
bool CopyFileWhole(const std::wstring& source, const std::wstring& target,
                   const wchar_t* temporarySuffix, const std::function<void()>& beforeRename = {});
// True for the errors of a look at a path that found nothing there (2 and 3).
bool NothingThere(DWORD error);
// True when `path` and `reference` are files of different sizes.
bool FileSizesDiffer(const std::wstring& path, const std::wstring& reference);
// Progress routine of CopyFileAndFlush. `data` points to a HANDLE slot (null when empty): on each
// stream switch the handle held is flushed and closed and a duplicate of the target handle takes
// its place. Always PROGRESS_CONTINUE.
DWORD CALLBACK CopyProgressFlushRoutine(LARGE_INTEGER totalSize, LARGE_INTEGER transferred,
                                        LARGE_INTEGER streamSize, LARGE_INTEGER streamTransferred,
                                        DWORD streamNumber, DWORD reason, HANDLE sourceFile,
                                        HANDLE targetFile, LPVOID data);
// 1 and the text before the last '\' (or else '/'); 0 (folder untouched) when there is none.
int GetParentFolder(const std::wstring& path, std::wstring& folder);

}  // namespace qelmo
