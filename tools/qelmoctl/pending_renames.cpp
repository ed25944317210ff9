#include "pending_renames.h"

#include <cstring>

namespace qelmoctl {

std::wstring PendingPathToDosPath(const std::wstring& stored, bool* replace) {
    std::wstring path = stored;
    const bool bang = !path.empty() && path[0] == L'!';
    if (bang) path.erase(0, 1);
    if (replace) *replace = bang;
    if (path.compare(0, 4, L"\\??\\") == 0) path.erase(0, 4);
    return path;
}

std::vector<PendingRename> ParsePendingRenames(const unsigned char* data, size_t bytes) {
    // Every NUL ends one string, empty ones included; text after the last NUL is a string too.
    std::vector<std::wstring> strings;
    std::wstring current;
    bool open = false;  // units seen since the last NUL
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        wchar_t unit = 0;
        memcpy(&unit, data + i, 2);  // no alignment assumed
        if (unit == L'\0') {
            strings.push_back(current);
            current.clear();
            open = false;
        } else {
            current += unit;
            open = true;
        }
    }
    if (open) strings.push_back(current);

    std::vector<PendingRename> pairs;
    for (size_t i = 0; i < strings.size(); i += 2) {
        const bool hasTarget = i + 1 < strings.size();
        const std::wstring& source = strings[i];
        const std::wstring target = hasTarget ? strings[i + 1] : std::wstring();
        if (source.empty() && target.empty()) continue;  // the list's closing NUL, or padding
        PendingRename op;
        op.source = PendingPathToDosPath(source);
        op.target = PendingPathToDosPath(target, &op.replace);
        op.incomplete = !hasTarget;
        pairs.push_back(op);
    }
    return pairs;
}

}  // namespace qelmoctl
