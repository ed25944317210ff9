// The file operations Windows carries out at the next restart: the value
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\PendingFileRenameOperations.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qelmoctl {

inline constexpr const wchar_t* kSessionManagerKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr const wchar_t* kPendingRenamesValue = L"PendingFileRenameOperations";

struct PendingRename {
    std::wstring source;      // a DOS path ("\??\" taken off)
    std::wstring target;      // empty: the source is deleted
    bool replace = false;     // '!' before the target: an existing target is replaced
    bool incomplete = false;  // the data ended after the source; the target is unknown

    bool IsDelete() const { return target.empty() && !incomplete; }
};

// Splits the stored value into its (source, target) pairs. The value is typed REG_MULTI_SZ but a
// deletion has an empty target, so empty strings occur inside the list: it is read pair by pair
// over the whole data, not up to the first empty string. Pairs with both halves empty (padding at
// the end) are dropped; a last source without its target is kept as incomplete. Data that does
// not end in NUL is read to its end; an odd last byte is ignored.
std::vector<PendingRename> ParsePendingRenames(const unsigned char* data, size_t bytes);

// "\??\C:\x" -> "C:\x", with `replace` set for a leading '!' ("!\??\C:\x"); other text unchanged.
std::wstring PendingPathToDosPath(const std::wstring& stored, bool* replace = nullptr);

}  // namespace qelmoctl
