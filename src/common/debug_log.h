// The local debug file "ZRKHelperDebug.log" beside the host executable. It is written only while
// HKLM\SOFTWARE\Vantor\ZRK value DebugLogFlags is a non-zero REG_DWORD; the switch is re-read by
// every operation that makes a CDebugLog, so it takes effect without restarting the host.
#pragma once

#include <windows.h>

#include <string>

namespace qelmo {

namespace debuglog {
inline constexpr const wchar_t* kSwitchKey = L"SOFTWARE\\Vantor\\ZRK";
inline constexpr const wchar_t* kSwitchValue = L"DebugLogFlags";
inline constexpr const wchar_t* kFileName = L"ZRKHelperDebug.log";
inline constexpr size_t kPathUnits = MAX_PATH;  // the path and its NUL must fit
inline constexpr size_t kMessageUnits = 2048;   // a message must fit in 2047 units
}  // namespace debuglog

// The folder of the host executable with its trailing backslash; empty when unknown.
std::wstring GetHostModuleDirectory();

class CDebugLog {
public:
    CDebugLog() = default;
    explicit CDebugLog(std::wstring path) : path_(std::move(path)) {}

    // Reads the switch; when it is on, fixes the path beside the host executable.
    void Init();
    // printf-style (use %ls for wide strings). Returns 1 when the line was written, else 0.
    int Write(const wchar_t* path, const wchar_t* format, ...);

    bool Enabled() const { return enabled_ != 0; }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
    DWORD enabled_ = 0;
};

}  // namespace qelmo
