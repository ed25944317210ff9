#include "support/campaign.h"

#include <psapi.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "common/handles.h"
#include "support/fixtures.h"
#include "support/machine.h"

namespace qelmo::reliability {

// ---- options -----------------------------------------------------------------------------------

Options::Options(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i)
        words_.emplace_back(argv[i]);
}

Options Options::FromCommandLine() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    LocalMem release(argv);
    return Options(argv ? argc : 0, argv);
}

bool Options::Has(const std::wstring& name) const {
    for (const auto& word : words_)
        if (word == name) return true;
    return false;
}

std::wstring Options::Text(const std::wstring& name, const std::wstring& fallback) const {
    for (size_t i = 0; i + 1 < words_.size(); ++i)
        if (words_[i] == name) return words_[i + 1];
    return fallback;
}

uint64_t Options::Number(const std::wstring& name, uint64_t fallback) const {
    const std::wstring text = Text(name, L"");
    if (text.empty()) return fallback;
    wchar_t* end = nullptr;
    unsigned long long value = wcstoull(text.c_str(), &end, 0);
    return (end && *end == L'\0') ? value : fallback;
}

// ---- random numbers ----------------------------------------------------------------------------

uint64_t Random::Below(uint64_t bound) {
    if (bound == 0) return 0;
    return std::uniform_int_distribution<uint64_t>(0, bound - 1)(engine_);
}

bool Random::Chance(double probability) {
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine_) < probability;
}

// ---- the running program -----------------------------------------------------------------------

namespace {
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    const DWORD code = record ? record->ExceptionCode : 0xDEADu;
    printf("CRASH: exception 0x%08lx at %p\n", static_cast<unsigned long>(code),
           record ? record->ExceptionAddress : nullptr);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

void InstallCrashReporter() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(&ReportCrash);
}

bool HeapsValid() {
    std::vector<HANDLE> heaps(64);
    DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size()) {
        heaps.resize(count);
        count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    }
    for (DWORD i = 0; i < count && i < heaps.size(); ++i)
        if (!HeapValidate(heaps[i], 0, nullptr)) return false;
    return true;
}

DWORD CountHandles() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    constexpr ULONG_PTR kLastHandleValue = 0x40000;
    count = 0;
    for (ULONG_PTR value = 4; value <= kLastHandleValue; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters))
        return 0;
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring ProgramFolder() {
    return test::BinDir();
}

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string DateAndMachine() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char date[64];
    snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute);
    std::string cpu = "unknown CPU";
    RegKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0,
                      KEY_READ, key.put()) == ERROR_SUCCESS) {
        wchar_t name[256] = {};
        DWORD bytes = sizeof name - sizeof(wchar_t);
        if (RegQueryValueExW(key.get(), L"ProcessorNameString", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(name), &bytes) == ERROR_SUCCESS)
            cpu = Narrow(name);
    }
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    return std::string(date) + ", " + cpu + ", " + std::to_string(info.dwNumberOfProcessors) +
           " logical processors, Wine";
}

// ---- child processes ---------------------------------------------------------------------------

bool IsCrashCode(DWORD exitCode) {
    return (exitCode & 0xF0000000u) == 0xC0000000u || exitCode == 0x80000003u;
}

// ---- files -------------------------------------------------------------------------------------

std::vector<char> ReadWholeFile(const std::wstring& path, bool* ok) {
    std::vector<char> bytes;
    if (ok) *ok = false;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return bytes;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > (256ll << 20)) return bytes;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
         got != bytes.size())) {
        bytes.clear();
        return bytes;
    }
    if (ok) *ok = true;
    return bytes;
}

std::wstring MakeWorkFolder(const std::wstring& label) {
    wchar_t temp[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, n);
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    std::wstring folder =
        base + L"\\qelmo_rel_" + label + L"_" + std::to_wstring(GetCurrentProcessId());
    test::RemoveTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace qelmo::reliability
