#include "common/registry_key.h"

#include <vector>

namespace qelmo {

LONG CRegistryKey::Close() {
    return key_.close();
}

LONG CRegistryKey::Replace(HKEY key) {
    LONG result = Close();
    key_.reset(key);
    return result;
}

LONG CRegistryKey::Create(HKEY parent, const wchar_t* subkey, wchar_t* keyClass, DWORD options,
                          REGSAM access, LPSECURITY_ATTRIBUTES security, DWORD* disposition) {
    HKEY key = nullptr;
    LONG result =
        RegCreateKeyExW(parent, subkey, 0, keyClass, options, access, security, &key, disposition);
    if (result != ERROR_SUCCESS) return result;
    return Replace(key);
}

LONG CRegistryKey::Open(HKEY parent, const wchar_t* subkey, REGSAM access) {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(parent, subkey, 0, access | KEY_WOW64_64KEY, &key);
    if (result != ERROR_SUCCESS) result = RegOpenKeyExW(parent, subkey, 0, access, &key);
    if (result != ERROR_SUCCESS) return result;
    return Replace(key);
}

LONG CRegistryKey::QueryDWORDValue(DWORD& value, const wchar_t* name) {
    DWORD data = 0;
    DWORD size = sizeof data;
    LONG result =
        RegQueryValueExW(key_.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
    if (result == ERROR_SUCCESS) value = data;
    return result;
}

LONG CRegistryKey::QueryStringValue(const wchar_t* name, std::wstring& value, DWORD* type) {
    DWORD size = 0;
    LONG result = RegQueryValueExW(key_.get(), name, nullptr, type, nullptr, &size);
    if (result != ERROR_SUCCESS) return result;
    // Room for one more unit, so stored text without a NUL still ends inside the buffer.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    result = RegQueryValueExW(key_.get(), name, nullptr, type,
                              reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (result != ERROR_SUCCESS) return result;
    size_t units = bytes / sizeof(wchar_t);
    size_t length = 0;
    while (length < units && buffer[length] != L'\0')
        ++length;
    value.assign(buffer.data(), length);
    return ERROR_SUCCESS;
}

LONG CRegistryKey::DeleteValue(const wchar_t* name) {
    return RegDeleteValueW(key_.get(), name);
}

LONG CRegistryKey::SetDWORDValue(DWORD value, const wchar_t* name) {
    return RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

LONG CRegistryKey::SetStringValue(const wchar_t* text, const wchar_t* name, DWORD type) {
    if (!text) text = L"";
    DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key_.get(), name, 0, type, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG SetStringValueWithoutNul(HKEY key, const wchar_t* name, const std::wstring& text) {
    // The registry adds a NUL by itself when the unit after the counted ones is NUL, so the data
    // handed over is followed by a non-NUL unit.
    std::vector<wchar_t> data(text.begin(), text.end());
    data.push_back(L'#');
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

LONG SetKeyStringValue(HKEY parent, const wchar_t* subkey, const wchar_t* text,
                       const wchar_t* name) {
    CRegistryKey key;
    LONG result = key.Create(parent, subkey, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS);
    if (result != ERROR_SUCCESS) return result;
    return key.SetStringValue(text, name, REG_SZ);
}

LONG SetKeyDWORDValue(HKEY parent, const wchar_t* subkey, DWORD value, const wchar_t* name) {
    CRegistryKey key;
    LONG result = key.Create(parent, subkey, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS);
    if (result != ERROR_SUCCESS) return result;
    return key.SetDWORDValue(value, name);
}

bool ReadRegDWORD(DWORD& value, const wchar_t* subkey, const wchar_t* name) {
    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, subkey, KEY_READ) != ERROR_SUCCESS) return false;
    return key.QueryDWORDValue(value, name) == ERROR_SUCCESS;
}

bool ReadRegString(std::wstring& value, const wchar_t* subkey, const wchar_t* name) {
    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, subkey, KEY_READ) != ERROR_SUCCESS) return false;
    return key.QueryStringValue(name, value) == ERROR_SUCCESS;
}

bool WriteRegDWORD(DWORD value, const wchar_t* subkey, const wchar_t* name) {
    return SetKeyDWORDValue(HKEY_LOCAL_MACHINE, subkey, value, name) == ERROR_SUCCESS;
}

bool WriteRegString(const wchar_t* text, const wchar_t* subkey, const wchar_t* name) {
    return SetKeyStringValue(HKEY_LOCAL_MACHINE, subkey, text, name) == ERROR_SUCCESS;
}

}  // namespace qelmo
