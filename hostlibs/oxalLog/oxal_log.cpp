// Stand-in for the host platform's logging library (see oxal_log.h for the configuration).
#define OXAL_LOG_BUILD
#include "oxal_log.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "common/handles.h"

namespace {

constexpr uint32_t kDefaultThreshold = 2;

struct State {
    std::mutex mutex;
    uint32_t defaultThreshold = kDefaultThreshold;
    std::map<std::wstring, uint32_t> thresholds;
    bool nullHandle = false;
    std::wstring output = L"stderr";  // empty: no output
    OxalLogObserver observer = nullptr;
    void* observerContext = nullptr;
    uint32_t handleCalls = 0;
    uint32_t levelCalls = 0;
    uint32_t flushCalls = 0;
};

State& TheState() {
    static State state;
    return state;
}

// The handle is opaque to callers; any stable non-null address will do.
int g_handleAnchor = 0;

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[2048];
    DWORD n = GetEnvironmentVariableW(name, buffer, ARRAYSIZE(buffer));
    if (n == 0 || n >= ARRAYSIZE(buffer)) return std::wstring();
    return std::wstring(buffer, n);
}

uint32_t ParseNumber(const std::wstring& text, uint32_t fallback) {
    if (text.empty()) return fallback;
    wchar_t* end = nullptr;
    unsigned long value = wcstoul(text.c_str(), &end, 0);
    return (end && *end == L'\0') ? static_cast<uint32_t>(value) : fallback;
}

void LoadFromEnvironment(State& s) {
    s.defaultThreshold = ParseNumber(Env(L"OXAL_LOG_LEVEL"), kDefaultThreshold);
    s.thresholds.clear();
    std::wstring levels = Env(L"OXAL_LOG_LEVELS");
    size_t start = 0;
    while (start < levels.size()) {
        size_t end = levels.find(L';', start);
        if (end == std::wstring::npos) end = levels.size();
        std::wstring item = levels.substr(start, end - start);
        size_t eq = item.rfind(L'=');
        if (eq != std::wstring::npos && eq > 0)
            s.thresholds[item.substr(0, eq)] = ParseNumber(item.substr(eq + 1), kDefaultThreshold);
        start = end + 1;
    }
    s.nullHandle = Env(L"OXAL_LOG_NULL_HANDLE") == L"1";
    std::wstring file = Env(L"OXAL_LOG_FILE");
    if (file.empty()) file = L"stderr";
    s.output = (file == L"none") ? std::wstring() : file;
    s.observer = nullptr;
    s.observerContext = nullptr;
}

uint32_t ThresholdOf(State& s, const wchar_t* category) {
    if (category) {
        auto it = s.thresholds.find(category);
        if (it != s.thresholds.end()) return it->second;
    }
    return s.defaultThreshold;
}

std::string ToUtf8(const wchar_t* text, size_t units) {
    if (!text || units == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), out.data(), n, nullptr,
                            nullptr);
    return out;
}

// One readable line per message: time, level, category, source:line, text (line breaks escaped).
std::string FormatLine(const wchar_t* category, uint32_t level, const wchar_t* source,
                       uint32_t line, const wchar_t* text, uint32_t bytes) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char head[64];
    snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u L%u ", t.wYear, t.wMonth,
             t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, level);
    std::string out = head;
    out += "[" + ToUtf8(category, category ? wcslen(category) : 0) + "] ";
    out += ToUtf8(source, source ? wcslen(source) : 0) + ":" + std::to_string(line) + " ";
    for (char c : ToUtf8(text, bytes / sizeof(wchar_t))) {
        if (c == '\n')
            out += "\\n";
        else if (c != '\r')
            out += c;
    }
    out += '\n';
    return out;
}

void WriteOut(const std::wstring& output, const std::string& line) {
    if (output.empty()) return;
    if (output == L"stderr") {
        fwrite(line.data(), 1, line.size(), stderr);
        fflush(stderr);
        return;
    }
    qelmo::FileHandle file(CreateFileW(output.c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

struct EnvLoader {
    EnvLoader() { LoadFromEnvironment(TheState()); }
} g_envLoader;

}  // namespace

extern "C" {

void* Log_GetDefaultHandle(void) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.handleCalls;
    return s.nullHandle ? nullptr : &g_handleAnchor;
}

uint32_t Log_GetLogLevel(void* handle, const wchar_t* category) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.levelCalls;
    if (handle != &g_handleAnchor) return 0;
    return ThresholdOf(s, category);
}

uint32_t Log_Flush(void* handle, const wchar_t* category, uint32_t level, const wchar_t* sourceFile,
                   uint32_t line, const wchar_t* text, uint32_t textBytes) {
    State& s = TheState();
    OxalLogObserver observer;
    void* context;
    std::wstring output;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.flushCalls;
        if (handle != &g_handleAnchor) return 0;
        observer = s.observer;
        context = s.observerContext;
        output = s.output;
    }
    if (observer) {
        OxalLogCall call{category, level, sourceFile, line, text, textBytes};
        observer(context, &call);
    }
    WriteOut(output, FormatLine(category, level, sourceFile, line, text, textBytes));
    return 1;
}

void OxalLog_SetObserver(OxalLogObserver observer, void* context) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.observer = observer;
    s.observerContext = context;
}

void OxalLog_SetThreshold(const wchar_t* category, uint32_t threshold) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (category)
        s.thresholds[category] = threshold;
    else
        s.defaultThreshold = threshold;
}

void OxalLog_SetNullHandle(int nullHandle) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.nullHandle = nullHandle != 0;
}

void OxalLog_SetOutput(const wchar_t* destination) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.output = destination ? destination : L"";
}

void OxalLog_GetCallCounts(uint32_t* handleCalls, uint32_t* levelCalls, uint32_t* flushCalls) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (handleCalls) *handleCalls = s.handleCalls;
    if (levelCalls) *levelCalls = s.levelCalls;
    if (flushCalls) *flushCalls = s.flushCalls;
}

void OxalLog_ResetCallCounts(void) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handleCalls = s.levelCalls = s.flushCalls = 0;
}

void OxalLog_Reconfigure(void) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    LoadFromEnvironment(s);
}

}  // extern "C"
