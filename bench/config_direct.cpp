// Registry values, the driver's parameters and the safety net, done directly.
#include <cwchar>
#include <string>

#include "common/handles.h"
#include "direct.h"
#include "support/machine.h"

namespace qelmo::bench::direct {

void SetSz(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    RegKeyHandle k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        k.put(), nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SetDword(const std::wstring& key, const wchar_t* name, DWORD value) {
    RegKeyHandle k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        k.put(), nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(k.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
}

DWORD GetDword(const std::wstring& key, const wchar_t* name) {
    DWORD value = 0, size = sizeof value;
    RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

std::wstring GetSz(const std::wstring& key, const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

void FlushServiceKey() {
    RegKeyHandle k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_QUERY_VALUE, k.put()) ==
        ERROR_SUCCESS) {
        RegFlushKey(k.get());
    }
}

void StampParameters() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t stamp[32];
    swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond);
    SetSz(kParametersKey, L"LastLeaveTime", stamp);
}

void ConfigureFlags() {
    SetDword(kServiceKey, L"RegCfgFlags", GetDword(kServiceKey, L"RegCfgFlags") & ~1u);
}

// Stops the driver (if running) and waits for it without sleeping.
// Driver stopped, safety-net file looked for, status code and time stamp written.
void ResetSafetyNet() {
    StopService();
    GetFileAttributesW((test::SystemDir() + L"\\00000000000000000000000000000000.dat").c_str());
    SetDword(kParametersKey, L"StatusCode", 9999);
    StampParameters();
}

}  // namespace qelmo::bench::direct
