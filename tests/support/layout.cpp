#include "support/layout.h"

#include <cwctype>

#include "common/handles.h"
#include "support/machine.h"

namespace qelmo::test::layout {

namespace {

constexpr const wchar_t* kNtPrefix = L"\\??\\";

}  // namespace

std::wstring WindowsDir() {
    wchar_t buffer[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n < MAX_PATH ? n : 0);
}

std::wstring SystemDir() {
    wchar_t buffer[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n < MAX_PATH ? n : 0);
}

std::wstring Wow64Dir() {
    wchar_t buffer[MAX_PATH] = {};
    UINT n = GetSystemWow64DirectoryW(buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return WindowsDir() + L"\\SysWOW64";
    return std::wstring(buffer, n);
}

std::wstring DriversDir() {
    return SystemDir() + L"\\drivers";
}

std::wstring InstalledDriverFile() {
    return DriversDir() + L"\\" + kDriverFile;
}

std::vector<std::wstring> ModuleRoots() {
    return {SystemDir() + L"\\" + kModuleRootFolder, Wow64Dir() + L"\\" + kModuleRootFolder};
}

std::wstring ModuleFile(const Module& module, const std::wstring& version) {
    const std::wstring base = module.wow64 ? Wow64Dir() : SystemDir();
    return base + L"\\" + kModuleRootFolder + L"\\" + kOwnerFolder + L"\\" + module.group + L"\\" +
           version + L"\\" + module.fileName;
}

bool IsSafetyNetName(const std::wstring& name) {
    const std::wstring extension = kSafetyNetExtension;
    const size_t stem = 32;
    if (name.size() != stem + extension.size()) return false;
    if (_wcsicmp(name.c_str() + stem, extension.c_str()) != 0) return false;
    if (_wcsicmp(name.c_str(), kSafetyNetFixedName) == 0) return true;
    for (size_t i = 0; i < stem; ++i)
        if (!iswxdigit(name[i])) return false;
    return true;
}

std::vector<std::wstring> PendingRenames() {
    const RegValue value = ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    std::vector<std::wstring> items;
    std::wstring current;
    for (size_t i = 0; i + 1 < value.bytes.size(); i += sizeof(wchar_t)) {
        const wchar_t unit = static_cast<wchar_t>(value.bytes[i] | (value.bytes[i + 1] << 8));
        if (unit != L'\0') {
            current += unit;
            continue;
        }
        items.push_back(current);
        current.clear();
    }
    // The list ends with one extra NUL (an empty string after the last pair).
    if (items.size() % 2 == 1 && items.back().empty()) items.pop_back();
    return items;
}

bool PendingDeletionOf(const std::vector<std::wstring>& pending, const std::wstring& path) {
    for (size_t i = 0; i + 1 < pending.size(); i += 2)
        if (_wcsicmp(pending[i].c_str(), (kNtPrefix + path).c_str()) == 0 && pending[i + 1].empty())
            return true;
    return false;
}

std::vector<std::wstring> PendingSources(const std::vector<std::wstring>& pending) {
    const std::wstring prefix = kNtPrefix;
    std::vector<std::wstring> sources;
    for (size_t i = 0; i < pending.size(); i += 2) {
        const std::wstring& source = pending[i];
        if (source.empty()) continue;
        sources.push_back(
            source.compare(0, prefix.size(), prefix) == 0 ? source.substr(prefix.size()) : source);
    }
    return sources;
}

PendingRenamesKeeper::PendingRenamesKeeper() {
    RegValue value = ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    existed_ = value.exists;
    type_ = value.type;
    bytes_ = std::move(value.bytes);
}

bool PendingRenamesKeeper::Restore() const {
    RegKeyHandle key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    if (existed_)
        RegSetValueExW(key.get(), kPendingRenames, 0, type_, bytes_.data(),
                       static_cast<DWORD>(bytes_.size()));
    else
        RegDeleteValueW(key.get(), kPendingRenames);
    const RegValue now = ReadValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    return now.exists == existed_ && (!existed_ || (now.type == type_ && now.bytes == bytes_));
}

}  // namespace qelmo::test::layout
