// Registry values, the driver's parameters and the safety net, done directly.
#include <cwchar>
#include <string>

#include "common/debug_log.h"
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

namespace {

// Opened for reading the way the plug-in opens keys: the 64-bit view first, then as asked.
bool OpenForReading(const std::wstring& key, RegKeyHandle& opened) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                         opened.put()) == ERROR_SUCCESS ||
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, opened.put()) ==
               ERROR_SUCCESS;
}

}  // namespace

DWORD GetDword(const std::wstring& key, const wchar_t* name) {
    DWORD value = 0, size = sizeof value;
    RegKeyHandle k;
    if (OpenForReading(key, k))
        RegQueryValueExW(k.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    return value;
}

// The size first, then the text: as the plug-in reads a string of unknown length.
std::wstring GetSz(const std::wstring& key, const wchar_t* name) {
    RegKeyHandle k;
    DWORD size = 0;
    if (!OpenForReading(key, k) ||
        RegQueryValueExW(k.get(), name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return L"";
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>((value.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(k.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()),
                         &size) != ERROR_SUCCESS)
        return L"";
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

void ReadDebugSwitch() {
    RegKeyHandle k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, debuglog::kSwitchKey, 0, KEY_READ | KEY_WOW64_64KEY,
                      k.put()) != ERROR_SUCCESS)
        return;
    DWORD value = 0, size = sizeof value;
    RegQueryValueExW(k.get(), debuglog::kSwitchValue, nullptr, nullptr,
                     reinterpret_cast<BYTE*>(&value), &size);
}

void ReadRecordedModulePaths() {
    for (const wchar_t* bits : {L"", L"64"}) {
        GetSz(kServiceKey, (std::wstring(L"QELMOMonDll") + bits + L"Name").c_str());
        GetSz(std::wstring(kServiceKey) + L"\\AddOn\\KipEvt" + bits, L"path");
    }
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
    // The file's name comes from the last time stamp.
    GetSz(kParametersKey, L"LastLeaveTime");
    GetFileAttributesW((test::SystemDir() + L"\\00000000000000000000000000000000.dat").c_str());
    SetDword(kParametersKey, L"StatusCode", 9999);
    StampParameters();
}

}  // namespace qelmo::bench::direct
