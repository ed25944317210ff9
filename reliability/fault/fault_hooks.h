// The plug-in's calls into the system, intercepted: its import address table is patched so that
// every import from the system DLLs that can fail, and the host installation library's Copy, go
// through a hook first (the host's logging library is left alone). A hook can
//   - record the call (function and order),
//   - fail it the way that function fails on Windows (failure value and last error or status),
//     once or for every later call of the same function,
//   - end the process at it (a kill at that call boundary; a copy is cut halfway first),
//   - hand it to a simulation of Windows behaviour that Wine lacks (fault_sim.h).
// Sleep is instant by default and advances a virtual clock that GetTickCount and GetTickCount64
// add, so the plug-in's pauses and waits cost no real time and its timeouts still come; the bench
// asks for real, timed pauses instead (SetRealSleep). Every call through a patched slot is tallied
// by function (CallsByFunction): the bench compares the plug-in's calls with its direct work's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qelmo::fault {

enum class Mode {
    kPass,        // no fault: every call goes through (and is counted)
    kFailOnce,    // call `point` fails
    kFailAlways,  // call `point` and every later call of the same function fail (the C
                  // allocators: once, see fault_hooks.cpp)
    kKill,        // the process ends at call `point`
};

struct Plan {
    Mode mode = Mode::kPass;
    uint32_t point = 0;      // 1-based index into the sequence of counted calls
    size_t errorChoice = 0;  // which of the function's failures (modulo their number)
};

// One function the hooks know.
struct FunctionInfo {
    const char* dll;  // as the import table names it, compared case-insensitively
    const char* name;
    bool counted;               // a point of the sequence (false: only timed or simulated)
    std::vector<DWORD> errors;  // the failures it can show, in order of preference
};

// Every function the hooks know, in table order; an id is an index into it.
const std::vector<FunctionInfo>& Functions();
// The id of a function by name; -1 when unknown.
int FunctionId(const char* name);

// Patches the import table of `module` (loaded already). Returns the number of patched slots;
// `unhooked` receives "dll!name" for every import from a system DLL that no hook covers.
size_t PatchImports(HMODULE module, std::vector<std::string>* unhooked = nullptr);
// Puts every patched slot back.
void UnpatchImports();

// The plan for the calls from now on; resets the sequence and the failure bookkeeping.
void SetPlan(const Plan& plan);
// The counted calls since the last SetPlan, as function ids.
const std::vector<uint16_t>& Sequence();
// True once the planned fault was made (false when the action made fewer calls).
bool FaultMade();
// The error the planned fault uses (0 before it was made).
DWORD FaultError();
// The real duration of every hooked call (counted or not) while timing is on; reset by SetPlan.
struct CallTime {
    int id;
    double microseconds;
};
void SetTiming(bool on);
const std::vector<CallTime>& CallTimes();
// Milliseconds that Sleep skipped since the last SetPlan.
uint64_t SkippedSleepMs();

// Sleep really pauses (on) or only moves the virtual clock (off, the default). With real pauses
// the tick count is the real one, and the time spent in Sleep is summed.
void SetRealSleep(bool on);
// Seconds spent in real pauses since the last SetPlan.
double RealSleptSeconds();
// How often each function was called through a patched slot since the last SetPlan, counted or
// not, indexed by function id.
const std::vector<uint32_t>& CallsByFunction();

// The exit code of a process ended by the kill mode.
inline constexpr UINT kKilledExitCode = 0x4B494C4C;

// The original function behind a patched import (the real system function), or null.
void* Original(int id);

// Replaces what a call of function `id` does when it is not failed; null puts the real function
// back. `replacement` must have the function's own type.
void SetReplacement(int id, void* replacement);
void ClearReplacements();

template <typename F>
F OriginalAs(const char* name) {
    return reinterpret_cast<F>(Original(FunctionId(name)));
}

}  // namespace qelmo::fault
