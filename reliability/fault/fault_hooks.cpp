#include "fault/fault_hooks.h"
#include "common/handles.h"

#include <aclapi.h>
#include <setupapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <oxal_setup.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <type_traits>

namespace qelmo::fault {
namespace {

// How a function shows a failure.
enum class Style {
    kZero,           // returns 0 / FALSE / null, last error set
    kInvalidHandle,  // returns INVALID_HANDLE_VALUE, last error set
    kBadAttributes,  // returns INVALID_FILE_ATTRIBUTES, last error set
    kStatus,         // returns the Windows error itself (registry, security)
    kHresult,        // returns HRESULT_FROM_WIN32(error)
    kSkip,           // returns nothing: the work is not done (InstallHinfSectionW)
    kNoMemory,       // the C allocators: null (operator new then throws std::bad_alloc)
    kOutError,       // the host's Copy: FALSE and the error in its last argument
    kNever,          // not a point: only timed or simulated
};

// The table: DLL, function, failure style, the errors it can show (most typical first).
// clang-format off
#define QELMO_FAULT_FUNCTIONS(X)                                                              \
    X("advapi32.dll", AllocateAndInitializeSid, kZero, 8)                                       \
    X("advapi32.dll", ControlService, kZero, 5, 1061, 1053)                                     \
    X("advapi32.dll", DeleteService, kZero, 5, 1072)                                            \
    X("advapi32.dll", GetAce, kZero, 87)                                                        \
    X("advapi32.dll", GetNamedSecurityInfoW, kStatus, 5, 1060)                                  \
    X("advapi32.dll", LookupAccountSidW, kZero, 1332, 5)                                        \
    X("advapi32.dll", OpenSCManagerW, kZero, 5)                                                 \
    X("advapi32.dll", OpenServiceW, kZero, 5, 1060)                                             \
    X("advapi32.dll", QueryServiceStatus, kZero, 5)                                             \
    X("advapi32.dll", RegCreateKeyExW, kStatus, 5)                                              \
    X("advapi32.dll", RegDeleteValueW, kStatus, 5, 2)                                           \
    X("advapi32.dll", RegFlushKey, kStatus, 5)                                                  \
    X("advapi32.dll", RegOpenKeyExW, kStatus, 5, 2)                                             \
    X("advapi32.dll", RegQueryValueExW, kStatus, 5, 2)                                          \
    X("advapi32.dll", RegSetValueExW, kStatus, 5)                                               \
    X("advapi32.dll", RevertToSelf, kZero, 5)                                                   \
    X("advapi32.dll", SetEntriesInAclW, kStatus, 8, 87)                                         \
    X("advapi32.dll", SetNamedSecurityInfoW, kStatus, 5)                                        \
    X("advapi32.dll", StartServiceW, kZero, 5, 1053, 1072)                                      \
    X("kernel32.dll", CopyFileExW, kZero, 32, 5, 112, 3)                                        \
    X("kernel32.dll", CreateDirectoryW, kZero, 5, 112, 3)                                       \
    X("kernel32.dll", CreateFileW, kInvalidHandle, 32, 5, 3)                                    \
    X("kernel32.dll", DeleteFileW, kZero, 32, 5)                                                \
    X("kernel32.dll", DuplicateHandle, kZero, 5)                                                \
    X("kernel32.dll", ExpandEnvironmentStringsW, kZero, 8)                                      \
    X("kernel32.dll", FlushFileBuffers, kZero, 112, 5)                                          \
    X("kernel32.dll", GetDateFormatW, kZero, 122)                                               \
    X("kernel32.dll", GetFileAttributesW, kBadAttributes, 5, 3)                                 \
    X("kernel32.dll", GetModuleFileNameW, kZero, 122)                                           \
    X("kernel32.dll", GetProcAddress, kZero, 127)                                               \
    X("kernel32.dll", GetSystemDirectoryW, kZero, 5)                                            \
    X("kernel32.dll", GetTimeFormatW, kZero, 122)                                               \
    X("kernel32.dll", GetWindowsDirectoryW, kZero, 5)                                           \
    X("kernel32.dll", LoadLibraryW, kZero, 126, 5)                                              \
    X("kernel32.dll", LocalAlloc, kZero, 8)                                                     \
    X("kernel32.dll", MoveFileExW, kZero, 32, 5, 112)                                           \
    X("kernel32.dll", MoveFileW, kZero, 32, 5)                                                  \
    X("kernel32.dll", QueryDosDeviceW, kZero, 2, 122)                                           \
    X("kernel32.dll", RemoveDirectoryW, kZero, 32, 5)                                           \
    X("kernel32.dll", Sleep, kNever, 0)                                                         \
    X("kernel32.dll", GetTickCount, kNever, 0)                                                  \
    X("kernel32.dll", GetTickCount64, kNever, 0)                                                \
    X("kernel32.dll", CloseHandle, kNever, 0)                                                   \
    X("advapi32.dll", CloseServiceHandle, kNever, 0)                                            \
    X("advapi32.dll", RegCloseKey, kNever, 0)                                                   \
    X("setupapi.dll", InstallHinfSectionW, kSkip, 0)                                            \
    X("setupapi.dll", SetupOpenInfFileW, kInvalidHandle, 2, 5)                                  \
    X("setupapi.dll", SetupOpenFileQueue, kInvalidHandle, 8)                                    \
    X("setupapi.dll", SetupInstallFilesFromInfSectionW, kZero, 8, 5)                            \
    X("setupapi.dll", SetupScanFileQueueW, kZero, 8)                                            \
    X("shell32.dll", SHGetFolderPathW, kHresult, 5)                                             \
    X("shlwapi.dll", PathCanonicalizeW, kZero, 87)                                              \
    X("shlwapi.dll", PathFileExistsW, kZero, 5)                                                 \
    X("shlwapi.dll", PathIsDirectoryW, kZero, 5)                                                \
    X("version.dll", GetFileVersionInfoSizeW, kZero, 1812, 2, 5)                                \
    X("version.dll", GetFileVersionInfoW, kZero, 5, 1812)                                       \
    X("version.dll", VerQueryValueW, kZero, 1813)                                               \
    X("msvcrt.dll", malloc, kNoMemory, 8)                                                       \
    X("msvcrt.dll", calloc, kNoMemory, 8)                                                       \
    X("msvcrt.dll", realloc, kNoMemory, 8)                                                      \
    X("oxalsetup.dll", Copy, kOutError, 32, 5, 112, 3)                                         \
    X("advapi32.dll", RegGetValueW, kNever, 0)                                                  \
    X("kernel32.dll", CopyFileW, kNever, 0)                                                     \
    X("kernel32.dll", GetSystemWow64DirectoryW, kNever, 0)                                      \
    X("kernel32.dll", GetLocalTime, kNever, 0)                                                  \
    X("kernel32.dll", SwitchToThread, kNever, 0)
// The last five are only tallied: calls that the bench's direct work makes and the plug-in does
// not (or makes without a way to fail that matters).
// clang-format on

enum FunctionIndex : int {
#define QELMO_FAULT_ID(dll, name, style, ...) kFn_##name,
    QELMO_FAULT_FUNCTIONS(QELMO_FAULT_ID)
#undef QELMO_FAULT_ID
        kFunctionCount
};

constexpr Style kStyles[] = {
#define QELMO_FAULT_STYLE(dll, name, style, ...) Style::style,
    QELMO_FAULT_FUNCTIONS(QELMO_FAULT_STYLE)
#undef QELMO_FAULT_STYLE
};

// The DLLs whose imports are the system's: anything from them that no hook covers is reported.
constexpr const char* kSystemDlls[] = {"advapi32.dll", "kernel32.dll", "setupapi.dll",
                                       "shell32.dll",  "shlwapi.dll",  "version.dll",
                                       "msvcrt.dll",   "oxalsetup.dll"};
// The host's logging library is not the system's and stays as it is.

struct State {
    Plan plan;
    std::vector<uint16_t> sequence;
    bool faultMade = false;
    DWORD faultError = 0;
    int failingFunction = -1;
    uint64_t skippedMs = 0;
    void* originals[kFunctionCount] = {};
    void* replacements[kFunctionCount] = {};
    std::vector<std::pair<void**, void*>> patched;  // slot, value before
    bool timing = false;
    std::vector<CallTime> times;
    bool realSleep = false;
    double realSleptSeconds = 0;
    std::vector<uint32_t> calls = std::vector<uint32_t>(kFunctionCount, 0);
};

State& TheState() {
    static State state;
    return state;
}

enum class Verdict { kPass, kFail, kKill };

// Adds the real call's duration to the state's list when it ends (the return value is passed on).
class CallTimer {
public:
    explicit CallTimer(int id) : id_(id) { QueryPerformanceCounter(&start_); }
    ~CallTimer() {
        LARGE_INTEGER end, frequency;
        QueryPerformanceCounter(&end);
        QueryPerformanceFrequency(&frequency);
        TheState().times.push_back(
            {id_, static_cast<double>(end.QuadPart - start_.QuadPart) * 1e6 / frequency.QuadPart});
    }
    CallTimer(const CallTimer&) = delete;
    CallTimer& operator=(const CallTimer&) = delete;

private:
    int id_;
    LARGE_INTEGER start_;
};

Verdict Decide(int id) {
    State& s = TheState();
    if (kStyles[id] == Style::kNever) return Verdict::kPass;
    s.sequence.push_back(static_cast<uint16_t>(id));
    const uint32_t index = static_cast<uint32_t>(s.sequence.size());
    const Plan& plan = s.plan;
    const bool atPoint = plan.mode != Mode::kPass && index == plan.point;
    // The C allocators fail once only, even in the persistent mode: when every allocation fails
    // for good, the C++ runtime's own exception allocation recurses (its emergency pool's mutex
    // is set up by an allocation on first use), which no code built with it survives.
    const bool later = plan.mode == Mode::kFailAlways && s.faultMade && s.failingFunction == id &&
                       kStyles[id] != Style::kNoMemory;
    if (!atPoint && !later) return Verdict::kPass;
    if (plan.mode == Mode::kKill) return Verdict::kKill;
    if (atPoint) {
        const std::vector<DWORD>& errors = Functions()[id].errors;
        s.faultMade = true;
        s.failingFunction = id;
        s.faultError = errors[plan.errorChoice % errors.size()];
    }
    return Verdict::kFail;
}

// Half of `source` written to `target`: what a copy cut short by the end of its process leaves.
void WriteHalfCopy(const wchar_t* source, const std::wstring& target) {
    if (!source) return;
    std::vector<char> bytes;
    DWORD got = 0;
    {
        const FileHandle in(
            CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!in) return;
        bytes.resize(GetFileSize(in.get(), nullptr) / 2);
        if (!bytes.empty() &&
            !ReadFile(in.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr))
            return;
    }
    const FileHandle out(
        CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!out) return;
    DWORD put = 0;
    if (got) WriteFile(out.get(), bytes.data(), got, &put, nullptr);
}

// The end of the process at a call. A copy in progress is where a kill most often lands in real
// life; it is cut halfway: Windows' CopyFileExW writes the destination in place, the host's Copy
// writes its temporary beside the destination.
template <int Id, typename... A>
[[noreturn]] void Kill(A... args) {
    auto list = std::forward_as_tuple(args...);
    if constexpr (Id == kFn_CopyFileExW) {
        if (std::get<1>(list)) WriteHalfCopy(std::get<0>(list), std::get<1>(list));
    } else if constexpr (Id == kFn_Copy) {
        if (std::get<0>(list))
            WriteHalfCopy(std::get<1>(list), std::wstring(std::get<0>(list)) + L".oxalcopy");
    }
    (void)list;
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
    ExitProcess(kKilledExitCode);
}

template <typename R>
R FromBits(uint64_t bits) {
    R value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

template <int Id, typename R, typename... A>
R Failed(DWORD error, A... args) {
    auto list = std::forward_as_tuple(args...);
    (void)list;
    uint64_t bits = 0;
    switch (kStyles[Id]) {
        case Style::kZero:
            SetLastError(error);
            break;
        case Style::kInvalidHandle:
            SetLastError(error);
            bits = reinterpret_cast<uint64_t>(INVALID_HANDLE_VALUE);
            break;
        case Style::kBadAttributes:
            SetLastError(error);
            bits = INVALID_FILE_ATTRIBUTES;
            break;
        case Style::kStatus:
            bits = error;
            break;
        case Style::kHresult:
            bits = static_cast<uint32_t>(HRESULT_FROM_WIN32(error));
            break;
        case Style::kNoMemory:
            // Null is the whole failure: the plug-in's operator new turns it into bad_alloc.
            break;
        case Style::kOutError:
            if constexpr (Id == kFn_Copy) {
                if (std::get<3>(list)) *std::get<3>(list) = error;
            }
            SetLastError(error);
            break;
        case Style::kSkip:
        case Style::kNever:
            break;
    }
    if constexpr (std::is_void_v<R>) {
        return;
    } else {
        return FromBits<R>(bits);
    }
}

template <typename F, int Id>
struct Hook;

template <typename R, typename... A, int Id>
struct Hook<R (*)(A...), Id> {
    using Function = R (*)(A...);
    static R Call(A... args) {
        State& s = TheState();
        ++s.calls[Id];
        if constexpr (Id == kFn_Sleep) {
            if (s.realSleep) {
                LARGE_INTEGER start, end, frequency;
                QueryPerformanceCounter(&start);
                reinterpret_cast<Function>(s.originals[Id])(args...);
                QueryPerformanceCounter(&end);
                QueryPerformanceFrequency(&frequency);
                s.realSleptSeconds +=
                    static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
                return;
            }
            // Instant: the pause only moves the virtual clock.
            s.skippedMs += static_cast<DWORD>(std::get<0>(std::forward_as_tuple(args...)));
            return;
        } else if constexpr (Id == kFn_GetTickCount) {
            return reinterpret_cast<Function>(s.originals[Id])(args...) +
                   static_cast<DWORD>(s.skippedMs);
        } else if constexpr (Id == kFn_GetTickCount64) {
            return reinterpret_cast<Function>(s.originals[Id])(args...) + s.skippedMs;
        } else {
            switch (Decide(Id)) {
                case Verdict::kKill:
                    Kill<Id>(args...);
                case Verdict::kFail:
                    return Failed<Id, R>(s.faultError, args...);
                case Verdict::kPass:
                    break;
            }
            void* target = s.replacements[Id] ? s.replacements[Id] : s.originals[Id];
            if (!s.timing) return reinterpret_cast<Function>(target)(args...);
            const CallTimer timer(Id);
            return reinterpret_cast<Function>(target)(args...);
        }
    }
};

struct Entry {
    FunctionInfo info;
    void* hook;
};

// The C allocators carry attributes (malloc, alloc_size) that a template argument drops; the
// hook only needs their plain type.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif
const std::vector<Entry>& Entries() {
    static const std::vector<Entry> entries = {
#define QELMO_FAULT_ENTRY(dll, name, style, ...)                 \
    {{dll, #name, Style::style != Style::kNever, {__VA_ARGS__}}, \
     reinterpret_cast<void*>(&Hook<decltype(&::name), kFn_##name>::Call)},
        QELMO_FAULT_FUNCTIONS(QELMO_FAULT_ENTRY)
#undef QELMO_FAULT_ENTRY
    };
    return entries;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool IsSystemDll(const char* dll) {
    for (const char* known : kSystemDlls)
        if (_stricmp(known, dll) == 0) return true;
    return false;
}

}  // namespace

const std::vector<FunctionInfo>& Functions() {
    static const std::vector<FunctionInfo> functions = [] {
        std::vector<FunctionInfo> list;
        for (const Entry& entry : Entries())
            list.push_back(entry.info);
        return list;
    }();
    return functions;
}

int FunctionId(const char* name) {
    const std::vector<Entry>& entries = Entries();
    for (size_t i = 0; i < entries.size(); ++i)
        if (std::strcmp(entries[i].info.name, name) == 0) return static_cast<int>(i);
    return -1;
}

size_t PatchImports(HMODULE module, std::vector<std::string>* unhooked) {
    State& s = TheState();
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress) return 0;
    size_t count = 0;
    const std::vector<Entry>& entries = Entries();
    for (auto* descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         descriptor->Name; ++descriptor) {
        const char* dll = reinterpret_cast<const char*>(base + descriptor->Name);
        if (!IsSystemDll(dll)) continue;
        const DWORD namesAt = descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk
                                                             : descriptor->FirstThunk;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + namesAt);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData)
                    ->Name);
            const int id = FunctionId(name);
            if (id < 0 || _stricmp(entries[id].info.dll, dll) != 0) {
                if (unhooked) unhooked->push_back(std::string(dll) + "!" + name);
                continue;
            }
            void** slot = reinterpret_cast<void**>(&slots[i].u1.Function);
            DWORD protection = 0;
            if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) continue;
            s.patched.emplace_back(slot, *slot);
            if (!s.originals[id]) s.originals[id] = *slot;
            *slot = entries[id].hook;
            VirtualProtect(slot, sizeof *slot, protection, &protection);
            ++count;
        }
    }
    return count;
}

void UnpatchImports() {
    State& s = TheState();
    for (auto it = s.patched.rbegin(); it != s.patched.rend(); ++it) {
        DWORD protection = 0;
        if (!VirtualProtect(it->first, sizeof(void*), PAGE_READWRITE, &protection)) continue;
        *it->first = it->second;
        VirtualProtect(it->first, sizeof(void*), protection, &protection);
    }
    s.patched.clear();
}

void SetPlan(const Plan& plan) {
    State& s = TheState();
    s.plan = plan;
    s.sequence.clear();
    s.faultMade = false;
    s.faultError = 0;
    s.failingFunction = -1;
    s.skippedMs = 0;
    s.times.clear();
    s.realSleptSeconds = 0;
    std::fill(s.calls.begin(), s.calls.end(), 0);
}

const std::vector<uint16_t>& Sequence() {
    return TheState().sequence;
}

bool FaultMade() {
    return TheState().faultMade || TheState().plan.mode == Mode::kKill;
}

DWORD FaultError() {
    return TheState().faultError;
}

void SetTiming(bool on) {
    TheState().timing = on;
}

const std::vector<CallTime>& CallTimes() {
    return TheState().times;
}

uint64_t SkippedSleepMs() {
    return TheState().skippedMs;
}

void SetRealSleep(bool on) {
    TheState().realSleep = on;
}

double RealSleptSeconds() {
    return TheState().realSleptSeconds;
}

const std::vector<uint32_t>& CallsByFunction() {
    return TheState().calls;
}

void* Original(int id) {
    if (id < 0 || id >= kFunctionCount) return nullptr;
    return TheState().originals[id];
}

void SetReplacement(int id, void* replacement) {
    if (id < 0 || id >= kFunctionCount) return;
    TheState().replacements[id] = replacement;
}

void ClearReplacements() {
    for (void*& replacement : TheState().replacements)
        replacement = nullptr;
}

}  // namespace qelmo::fault
