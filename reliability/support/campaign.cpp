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

ChildResult RunChild(const std::wstring& commandLine, const std::wstring& folder,
                     const std::function<void(const std::string&)>& onLine,
                     double silenceLimitSeconds, double totalLimitSeconds) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return result;
    KernelHandle readEnd(readRaw), writeEnd(writeRaw);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    const double start = Seconds();
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        return result;
    result.started = true;
    KernelHandle process(info.hProcess), thread(info.hThread);
    writeEnd.reset();  // the child holds the only write end now

    std::string pending;
    double lastOutput = Seconds();
    bool ended = false;
    for (;;) {
        DWORD available = 0;
        bool pipeOpen = PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr);
        if (pipeOpen && available > 0) {
            std::vector<char> buffer(available);
            DWORD got = 0;
            if (ReadFile(readEnd.get(), buffer.data(), available, &got, nullptr) && got > 0) {
                pending.append(buffer.data(), got);
                lastOutput = Seconds();
                size_t newline;
                while ((newline = pending.find('\n')) != std::string::npos) {
                    std::string text = pending.substr(0, newline);
                    if (!text.empty() && text.back() == '\r') text.pop_back();
                    pending.erase(0, newline + 1);
                    onLine(text);
                }
            }
            continue;
        }
        if (ended || !pipeOpen) {
            if (!ended) WaitForSingleObject(process.get(), INFINITE);
            break;
        }
        if (WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) {
            ended = true;  // drain what is left in the pipe, then stop
            continue;
        }
        const double now = Seconds();
        if (now - lastOutput > silenceLimitSeconds || now - start > totalLimitSeconds) {
            result.hung = true;
            TerminateProcess(process.get(), 0xDEAD);
            WaitForSingleObject(process.get(), 10000);
            break;
        }
    }
    if (!pending.empty()) onLine(pending);
    GetExitCodeProcess(process.get(), &result.exitCode);
    result.seconds = Seconds() - start;
    return result;
}

KillableProcess::~KillableProcess() {
    if (process_.process) Kill();
}

bool KillableProcess::Start(const std::wstring& commandLine, const std::wstring& folder) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    FileHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = nul.get();
    startup.hStdError = nul.get();
    std::wstring line = commandLine;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        return false;
    process_ = ProcessHandles(info);
    return true;
}

bool KillableProcess::WaitFor(DWORD milliseconds) {
    return process_.process &&
           WaitForSingleObject(process_.process.get(), milliseconds) == WAIT_OBJECT_0;
}

bool KillableProcess::Kill() {
    if (!process_.process) return false;
    if (WaitForSingleObject(process_.process.get(), 0) == WAIT_OBJECT_0) return false;
    TerminateProcess(process_.process.get(), 0xDEAD);
    WaitForSingleObject(process_.process.get(), 30000);
    return true;
}

DWORD KillableProcess::ExitCode() const {
    DWORD code = 0;
    if (process_.process) GetExitCodeProcess(process_.process.get(), &code);
    return code;
}

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

bool CopyPackageTo(const std::wstring& name, const std::wstring& target) {
    const std::wstring source = test::PackageDir(name);
    if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    if (!CreateDirectoryW((target + L"\\AddOn").c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    bool ok = true;
    for (const wchar_t* file : {L"qelmo.inf", L"qelmo.sys", L"kipmon64.dll", L"kipmon.dll",
                                L"AddOn\\KipEvt64.dll", L"AddOn\\KipEvt.dll"}) {
        const std::wstring from = source + L"\\" + file;
        if (GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        ok = CopyFileW(from.c_str(), (target + L"\\" + file).c_str(), FALSE) && ok;
    }
    return ok;
}

}  // namespace qelmo::reliability
