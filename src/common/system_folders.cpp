#include "common/system_folders.h"

#include <windows.h>

#include "common/driver_names.h"
#include "common/footprint.h"

namespace qelmo {

namespace {

constexpr size_t kPathUnits = names::kFolderUnits;

void RemoveOneTrailingBackslash(std::wstring& path) {
    if (!path.empty() && path.back() == L'\\') path.pop_back();
}

}  // namespace

bool FitsPathBuffer(const std::wstring& path) {
    return path.size() < kPathUnits;
}

std::wstring GetSystem32Folder() {
    wchar_t buffer[kPathUnits] = {};
    UINT length = GetSystemDirectoryW(buffer, kPathUnits);
    // 0 is a failure; a count of MAX_PATH or more is the size the text would have needed.
    if (length == 0 || length >= kPathUnits) return std::wstring();
    buffer[kPathUnits - 1] = L'\0';
    std::wstring folder(buffer);
    RemoveOneTrailingBackslash(folder);
    return folder;
}

std::wstring GetSysWow64Folder() {
    wchar_t buffer[kPathUnits] = {};
    UINT length = GetWindowsDirectoryW(buffer, kPathUnits);
    if (length == 0 || length >= kPathUnits) return std::wstring();
    buffer[kPathUnits - 1] = L'\0';
    std::wstring folder(buffer);
    RemoveOneTrailingBackslash(folder);
    folder = footprint::SysWow64FolderOf(folder);
    if (!FitsPathBuffer(folder)) return std::wstring();
    return folder;
}

}  // namespace qelmo
