#include "support/driver_state.h"

#include <fstream>
#include <iterator>

#include "common/handles.h"
#include "support/machine.h"

namespace qelmo::test {

SERVICE_STATUS QelmoStatus(bool* exists) {
    SERVICE_STATUS status{};
    *exists = false;
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return status;
    ScHandle service(OpenServiceW(scm.get(), layout::kService, SERVICE_QUERY_STATUS));
    if (service) *exists = QueryServiceStatus(service.get(), &status) != FALSE;
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
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return false;
    ScHandle service(OpenServiceW(scm.get(), layout::kService, SERVICE_START));
    return service && (StartServiceW(service.get(), 0, nullptr) ||
                       GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
}

DeployedModules ModulesOf(const std::wstring& version) {
    const auto& m = layout::kModules;
    return {layout::ModuleFile(m[0], version), layout::ModuleFile(m[1], version),
            layout::ModuleFile(m[2], version), layout::ModuleFile(m[3], version)};
}

void SetServiceDword(const wchar_t* name, DWORD value, const wchar_t* subkey) {
    std::wstring path = layout::kServiceKey;
    if (subkey) path += std::wstring(L"\\") + subkey;
    RegKeyHandle key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
}

void DeleteServiceValue(const wchar_t* name) {
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kServiceKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key.get(), name);
}

namespace {
bool ReadAll(const std::wstring& path, std::string& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    char buffer[65536];
    DWORD got = 0;
    bytes.clear();
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    return true;
}
}  // namespace

bool SameBytes(const std::wstring& a, const std::wstring& b) {
    std::string x, y;
    return ReadAll(a, x) && ReadAll(b, y) && x == y;
}

}  // namespace qelmo::test
