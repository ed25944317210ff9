#include "support/driver_state.h"

#include <fstream>
#include <iterator>

#include "common/driver_names.h"
#include "support/machine.h"

namespace qelmo::test {

SERVICE_STATUS QelmoStatus(bool* exists) {
    SERVICE_STATUS status{};
    *exists = false;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return status;
    SC_HANDLE service = OpenServiceW(scm, names::kServiceName, SERVICE_QUERY_STATUS);
    if (service) {
        *exists = QueryServiceStatus(service, &status) != FALSE;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
    return status;
}

bool WaitUntilServiceGone(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        bool exists = true;
        QelmoStatus(&exists);
        if (!exists) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(100);
    }
}

bool StartQelmo() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = scm ? OpenServiceW(scm, names::kServiceName, SERVICE_START) : nullptr;
    bool ok = service && (StartServiceW(service, 0, nullptr) ||
                          GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
    if (service) CloseServiceHandle(service);
    if (scm) CloseServiceHandle(scm);
    return ok;
}

DeployedModules ModulesOf(const std::wstring& version) {
    auto file = [&version](const std::wstring& base, const wchar_t* kind, const wchar_t* name) {
        return base + L"\\qelmo\\20019\\" + kind + L"\\" + version + L"\\" + name;
    };
    return {
        file(SystemDir(), L"KipMon", L"kipmon64.dll"), file(Wow64Dir(), L"KipMon", L"kipmon.dll"),
        file(SystemDir(), L"AddOn", L"KipEvt64.dll"), file(Wow64Dir(), L"AddOn", L"KipEvt.dll")};
}

void SetServiceDword(const wchar_t* name, DWORD value, const wchar_t* subkey) {
    std::wstring path = names::kServiceKey;
    if (subkey) path += std::wstring(L"\\") + subkey;
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void DeleteServiceValue(const wchar_t* name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

std::vector<std::wstring> PendingRenames() {
    auto value =
        ReadValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                  L"PendingFileRenameOperations");
    std::vector<std::wstring> items;
    const wchar_t* units = reinterpret_cast<const wchar_t*>(value.bytes.data());
    size_t count = value.bytes.size() / sizeof(wchar_t);
    std::wstring current;
    for (size_t i = 0; i < count; ++i) {
        if (units[i] != L'\0') {
            current += units[i];
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
        if (_wcsicmp(pending[i].c_str(), (L"\\??\\" + path).c_str()) == 0 && pending[i + 1].empty())
            return true;
    return false;
}

bool ReadAll(const std::wstring& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD got = 0;
    bytes.clear();
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return true;
}

std::string ReadFileText(const std::wstring& path) {
    std::string bytes;
    ReadAll(path, bytes);
    return bytes;
}

bool SameBytes(const std::wstring& a, const std::wstring& b) {
    std::string x, y;
    return ReadAll(a, x) && ReadAll(b, y) && x == y;
}

std::wstring InstalledDriverFile() {
    return DriversDir() + L"\\qelmo.sys";
}

}  // namespace qelmo::test
