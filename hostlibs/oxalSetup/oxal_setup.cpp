// Stand-in for the host platform's installation library (see oxal_setup.h).
#define OXAL_SETUP_BUILD
#include "oxal_setup.h"

#include <cwchar>
#include <map>
#include <mutex>
#include <string>

#include "common/handles.h"

namespace {

constexpr int kBusyAttempts = 10;
constexpr DWORD kBusyPauseMs = 100;

struct State {
    std::mutex mutex;
    uint32_t calls = 0;
    std::map<uint32_t, DWORD> faults;  // call number -> error
    std::map<uint32_t, DWORD> delays;  // call number -> pause (ms) after the copy
    uint32_t holdCall = 0;             // 0: none
    HANDLE holdCopied = nullptr;       // set when that call's copy ended
    HANDLE holdResume = nullptr;       // waited for before that call returns
};

// A hold never outlasts this, so a test that forgets to resume cannot hang the plug-in.
constexpr DWORD kHoldLimitMs = 60000;

State& TheState() {
    static State state;
    return state;
}

// "N:E[,N:E...]"; malformed items are ignored.
void ParseFaults(const wchar_t* text, std::map<uint32_t, DWORD>& faults) {
    faults.clear();
    if (!text) return;
    const wchar_t* p = text;
    while (*p) {
        wchar_t* end = nullptr;
        unsigned long n = wcstoul(p, &end, 10);
        if (end == p || *end != L':') break;
        p = end + 1;
        unsigned long e = wcstoul(p, &end, 0);
        if (end == p) break;
        if (n > 0) faults[static_cast<uint32_t>(n)] = static_cast<DWORD>(e);
        p = end;
        while (*p == L',' || *p == L' ')
            ++p;
    }
}

struct EnvLoader {
    EnvLoader() {
        wchar_t buffer[512];
        DWORD n = GetEnvironmentVariableW(L"OXAL_SETUP_FAIL", buffer, ARRAYSIZE(buffer));
        if (n > 0 && n < ARRAYSIZE(buffer)) ParseFaults(buffer, TheState().faults);
        n = GetEnvironmentVariableW(L"OXAL_SETUP_DELAY", buffer, ARRAYSIZE(buffer));
        if (n > 0 && n < ARRAYSIZE(buffer)) ParseFaults(buffer, TheState().delays);
    }
} g_envLoader;

// Copies source into a temporary file beside the destination, flushes it, then moves it over the
// destination. Returns 0 or the Windows error; the destination is untouched on failure.
DWORD CopyViaTemporary(const std::wstring& destination, const std::wstring& source,
                       bool overwrite) {
    if (!overwrite && GetFileAttributesW(destination.c_str()) != INVALID_FILE_ATTRIBUTES)
        return ERROR_FILE_EXISTS;
    std::wstring temporary = destination + L".oxalcopy";
    qelmo::FileHandle in(CreateFileW(source.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in) return GetLastError();
    qelmo::FileHandle out(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return GetLastError();
    DWORD error = 0;
    char buffer[64 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer, sizeof buffer, &got, nullptr)) {
            error = GetLastError();
            break;
        }
        if (got == 0) break;
        DWORD put = 0;
        if (!WriteFile(out.get(), buffer, got, &put, nullptr) || put != got) {
            error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
            break;
        }
    }
    if (!error && !FlushFileBuffers(out.get())) error = GetLastError();
    out.reset();
    // A destination that was in use a moment ago (a service process that is just exiting) gets
    // a few more chances before the copy gives up.
    for (int attempt = 0; !error; ++attempt) {
        if (MoveFileExW(temporary.c_str(), destination.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        DWORD moveError = GetLastError();
        bool busy = moveError == ERROR_SHARING_VIOLATION || moveError == ERROR_ACCESS_DENIED;
        if (!busy || attempt + 1 >= kBusyAttempts) {
            error = moveError;
            break;
        }
        Sleep(kBusyPauseMs);
    }
    if (error) DeleteFileW(temporary.c_str());
    return error;
}

}  // namespace

extern "C" {

BOOL Copy(const wchar_t* destination, const wchar_t* source, BOOL overwrite, DWORD* error) {
    DWORD result = 0;
    DWORD pauseAfter = 0;
    HANDLE holdCopied = nullptr;
    HANDLE holdResume = nullptr;
    {
        State& s = TheState();
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.calls;
        auto fault = s.faults.find(s.calls);
        if (fault != s.faults.end()) result = fault->second ? fault->second : ERROR_GEN_FAILURE;
        auto delay = s.delays.find(s.calls);
        if (delay != s.delays.end()) pauseAfter = delay->second;
        if (s.holdCall != 0 && s.holdCall == s.calls) {
            holdCopied = s.holdCopied;
            holdResume = s.holdResume;
        }
    }
    if (!result) {
        if (!destination || !source || !*destination || !*source)
            result = ERROR_INVALID_PARAMETER;
        else
            result = CopyViaTemporary(destination, source, overwrite != FALSE);
    }
    if (pauseAfter) Sleep(pauseAfter);
    if (holdCopied && holdResume) {
        SetEvent(holdCopied);
        WaitForSingleObject(holdResume, kHoldLimitMs);
    }
    if (error) *error = result;
    SetLastError(result);
    return result == 0;
}

BOOL OxalSetup_SetFaults(const wchar_t* faults) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    ParseFaults(faults, s.faults);
    s.delays.clear();
    s.holdCall = 0;
    s.holdCopied = s.holdResume = nullptr;
    s.calls = 0;
    return TRUE;
}

BOOL OxalSetup_SetDelays(const wchar_t* delays) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    ParseFaults(delays, s.delays);
    return TRUE;
}

BOOL OxalSetup_HoldAfter(uint32_t call, HANDLE copied, HANDLE resume) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.holdCall = call;
    s.holdCopied = copied;
    s.holdResume = resume;
    return TRUE;
}

uint32_t OxalSetup_CallCount(void) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.calls;
}

}  // extern "C"
