#include "common/debug_log.h"

#include <share.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "common/handles.h"

namespace qelmo {

std::wstring GetHostModuleDirectory() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring text(path, n);
    size_t slash = text.rfind(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    return text.substr(0, slash + 1);
}

void CDebugLog::Init() {
    LastErrorKeeper keep;
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, debuglog::kSwitchKey, 0, KEY_READ | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key.get(), debuglog::kSwitchValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return;
    if (type != REG_DWORD || value == 0) return;
    enabled_ = 1;
    path_ = GetHostModuleDirectory() + debuglog::kFileName;
    wprintf(L"Enable debugLog %ls\n", path_.c_str());
}

int CDebugLog::Write(const wchar_t* path, const wchar_t* format, ...) {
    if (!enabled_ || !format) return 0;
    // Writing the file is logging: the caller's last error is the same afterwards.
    LastErrorKeeper keep;
    std::wstring target = path ? std::wstring(path) : path_;
    // A path that does not fit the open buffer is refused, never cut short.
    if (target.empty() || target.size() >= debuglog::kPathUnits) {
        wprintf(L"Open file %ls failed - Error : %ld\n", target.c_str(),
                static_cast<long>(ERROR_FILENAME_EXCED_RANGE));
        return 0;
    }
    FILE* file = _wfsopen(target.c_str(), L"a+t", _SH_DENYNO);
    if (!file) {
        wprintf(L"Open file %ls failed - Error : %ld\n", target.c_str(),
                static_cast<long>(GetLastError()));
        return 0;
    }
    std::vector<wchar_t> message(debuglog::kMessageUnits, L'\0');
    va_list args;
    va_start(args, format);
    int formatted = vswprintf(message.data(), message.size(), format, args);
    va_end(args);
    int result = 0;
    if (formatted >= 0 && static_cast<size_t>(formatted) < message.size() - 1) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t time[32] = {};
        wchar_t date[32] = {};
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, L"HH':'mm':'ss", time, 32);
        GetDateFormatW(LOCALE_USER_DEFAULT, 0, &now, L"yyyy-MM-dd", date, 32);
        fwprintf(file, L"[%ls %ls.%03d] ", date, time, now.wMilliseconds);
        wprintf(L"[%ls %ls.%03d] %ls\n", date, time, now.wMilliseconds, message.data());
        result = (fputws(message.data(), file) >= 0 && fputws(L"\n", file) >= 0) ? 1 : 0;
    }
    fclose(file);
    return result;
}

}  // namespace qelmo
