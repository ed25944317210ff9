// What the three campaigns share: options, random numbers, result codes, child processes with a
// watchdog, crash reports, and small file helpers.
#pragma once

#include <windows.h>

#include <qelmo_plugin.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/result_names.h"
#include "common/utf.h"
#include "support/child_process.h"
#include "support/machine.h"

namespace qelmo::reliability {

// ---- options -----------------------------------------------------------------------------------

// "--name value" pairs and "--flag" switches from the command line.
class Options {
public:
    Options(int argc, wchar_t** argv);
    // The words of this process's command line.
    static Options FromCommandLine();
    bool Has(const std::wstring& name) const;
    uint64_t Number(const std::wstring& name, uint64_t fallback) const;
    std::wstring Text(const std::wstring& name, const std::wstring& fallback) const;

private:
    std::vector<std::wstring> words_;
};

// ---- random numbers ----------------------------------------------------------------------------

class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}
    // Uniform in [0, bound); 0 when bound is 0.
    uint64_t Below(uint64_t bound);
    // Uniform in [low, high].
    uint64_t Between(uint64_t low, uint64_t high) { return low + Below(high - low + 1); }
    bool Chance(double probability);
    uint32_t Word() { return static_cast<uint32_t>(engine_()); }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[static_cast<size_t>(Below(items.size()))];
    }

private:
    std::mt19937_64 engine_;
};

// ---- result codes ------------------------------------------------------------------------------

using qelmo::IsActionResult;
using qelmo::ResultName;

// ---- the running program -----------------------------------------------------------------------

// Makes an unhandled exception print "CRASH: exception 0x... at 0x..." on standard output and end
// the process with the exception code, instead of starting a debugger.
void InstallCrashReporter();
// True when every heap of the process passes HeapValidate.
bool HeapsValid();
// Handles open in this process: GetProcessHandleCount, or where that reports none (Wine), the
// handle values that GetHandleInformation accepts.
DWORD CountHandles();
// Private bytes of this process: PrivateUsage, or where that reports none (Wine) PagefileUsage,
// which counts the same committed private memory.
SIZE_T PrivateBytes();
// This program's path and folder (with trailing '\').
std::wstring ProgramPath();
std::wstring ProgramFolder();
using qelmo::Narrow;
using qelmo::Widen;
// printf to standard output, flushed at once (a parent reads it through a pipe).
void Say(const char* format, ...);
// Seconds since an arbitrary start (QueryPerformanceCounter).
double Seconds();
// The local date and time and the machine (CPU name, logical processors), for reports.
std::string DateAndMachine();

// ---- child processes ---------------------------------------------------------------------------

// The runner the tests use: to the end with a watchdog on silence and on the whole run, or
// started to be killed.
using test::ChildOptions;
using test::ChildRun;
using test::KillableProcess;
using test::RunCommand;

// An exception code (0xC0000005 and the like) rather than an exit status.
bool IsCrashCode(DWORD exitCode);

// ---- files -------------------------------------------------------------------------------------

// The whole file; empty with `ok` false when it cannot be read.
std::vector<char> ReadWholeFile(const std::wstring& path, bool* ok = nullptr);
// A folder under the temp folder named after `label` and this process, created empty.
std::wstring MakeWorkFolder(const std::wstring& label);
// Copies a fixture package (bin\packages\<name>) to `target`; false when that fails.
using test::CopyPackageTo;

}  // namespace qelmo::reliability
