// Registry and file access on the test machine: value readers, package copies, tree removal.
#include "support/machine.h"

#include <atomic>
#include <cstring>

#include "common/handles.h"
#include "support/fixtures.h"

namespace qelmo::test {
namespace {

std::atomic<unsigned> g_copyCounter{0};

bool CopyTree(const std::wstring& from, const std::wstring& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    WIN32_FIND_DATAW data = {};
    FindHandle find(FindFirstFileW((from + L"\\*").c_str(), &data));
    if (!find) return false;
    bool ok = true;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = CopyTree(from + L"\\" + name, to + L"\\" + name) && ok;
        else
            ok = CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE) && ok;
    } while (FindNextFileW(find.get(), &data));
    return ok;
}

}  // namespace

std::wstring RegValue::String() const {
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    size_t nul = text.find(L'\0');
    return nul == std::wstring::npos ? text : text.substr(0, nul);
}

DWORD RegValue::Dword() const {
    DWORD value = 0;
    if (bytes.size() == sizeof(value)) memcpy(&value, bytes.data(), sizeof(value));
    return value;
}

std::vector<std::wstring> RegValue::MultiString() const {
    std::vector<std::wstring> out;
    std::wstring all(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    size_t begin = 0;
    while (begin < all.size()) {
        size_t nul = all.find(L'\0', begin);
        if (nul == std::wstring::npos) nul = all.size();
        if (nul == begin) break;
        out.push_back(all.substr(begin, nul - begin));
        begin = nul + 1;
    }
    return out;
}

RegValue ReadValue(HKEY root, const std::wstring& path, const std::wstring& name) {
    RegValue value;
    RegKeyHandle key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return value;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        value.bytes.resize(size);
        status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                                  size ? value.bytes.data() : nullptr, &size);
        if (status == ERROR_SUCCESS) {
            value.bytes.resize(size);
            value.exists = true;
            value.type = type;
            break;
        }
    }
    if (!value.exists) value.bytes.clear();
    return value;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    RegKeyHandle key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
           ERROR_SUCCESS;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CopyPackageTo(const std::wstring& name, const std::wstring& target) {
    return CopyTree(PackageDir(name), target);
}

std::wstring CopyPackage(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring base(temp, n);
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    std::wstring target = base + L"\\qelmo_pkg_" + name + L"_" +
                          std::to_wstring(GetCurrentProcessId()) + L"_" +
                          std::to_wstring(g_copyCounter++);
    RemoveTree(target);
    if (!CopyPackageTo(name, target)) {
        RemoveTree(target);
        return std::wstring();
    }
    return target;
}

bool RemoveTree(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return !FileExists(path);
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data = {};
        FindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
        if (find) {
            do {
                std::wstring name = data.cFileName;
                if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
            } while (FindNextFileW(find.get(), &data));
        }
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
    return !FileExists(path);
}

}  // namespace qelmo::test
