// Registry access: one key owner and six free functions on HKEY_LOCAL_MACHINE.
// Nothing here logs; results are Win32 error codes (class) or booleans (free functions).
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

namespace qelmo {

class CRegistryKey {
public:
    CRegistryKey() = default;
    ~CRegistryKey() = default;
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    HKEY Handle() const { return key_.get(); }
    LONG Close();
    LONG Create(HKEY parent, const wchar_t* subkey, wchar_t* keyClass = nullptr,
                DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_ALL_ACCESS,
                LPSECURITY_ATTRIBUTES security = nullptr, DWORD* disposition = nullptr);
    // Tries the 64-bit view first, then the mask as given.
    LONG Open(HKEY parent, const wchar_t* subkey, REGSAM access);
    // Any value of at most 4 bytes is accepted; its type is not checked.
    LONG QueryDWORDValue(DWORD& value, const wchar_t* name);
    // Data up to the first NUL or the end of the stored bytes; the type is not checked, but
    // reported in `type` when given.
    LONG QueryStringValue(const wchar_t* name, std::wstring& value, DWORD* type = nullptr);
    LONG DeleteValue(const wchar_t* name);
    LONG SetDWORDValue(DWORD value, const wchar_t* name);
    // Stores the text with its terminating NUL.
    LONG SetStringValue(const wchar_t* text, const wchar_t* name, DWORD type = REG_SZ);

private:
    LONG Replace(HKEY key);
    RegKeyHandle key_;
};

LONG SetKeyStringValue(HKEY parent, const wchar_t* subkey, const wchar_t* text,
                       const wchar_t* name);
LONG SetKeyDWORDValue(HKEY parent, const wchar_t* subkey, DWORD value, const wchar_t* name);
bool ReadRegDWORD(DWORD& value, const wchar_t* subkey, const wchar_t* name);
bool ReadRegString(std::wstring& value, const wchar_t* subkey, const wchar_t* name);
bool WriteRegDWORD(DWORD value, const wchar_t* subkey, const wchar_t* name);
bool WriteRegString(const wchar_t* text, const wchar_t* subkey, const wchar_t* name);

// Stores text as REG_SZ without a terminating NUL (byte count = 2 x characters).
LONG SetStringValueWithoutNul(HKEY key, const wchar_t* name, const std::wstring& text);

}  // namespace qelmo
