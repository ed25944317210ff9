#include "support/fixtures.h"

#include <windows.h>

namespace qelmo::test {

std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n);
    return text.substr(0, text.rfind(L'\\') + 1);
}

std::wstring PackageDir(const std::wstring& name) {
    return BinDir() + L"packages\\" + name;
}

}  // namespace qelmo::test
