// The pieces of the benchmark program and the figures they hand to the table (bench_main.cpp).
#pragma once

#include <windows.h>

#include <qelmo_plugin.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/plugin_library.h"

namespace qelmo::bench {

// ---- time (bench_main.cpp) ----------------------------------------------------------------------

double Now();  // seconds
double Median(std::vector<double> values);

// ---- calls into the system, through the shared import hooks (call_counts.cpp) ------------------

// Calls and the time spent in them per function id of the hooks' table, for one run of an action
// or added up over several (`runs`).
struct CallCounts {
    std::vector<uint32_t> byFunction;
    std::vector<double> microsByFunction;
    uint32_t runs = 0;
    uint32_t Total() const;
    double TotalMicros() const;
    void Add(const CallCounts& other);
};

// Patches the imports of the plug-in and of this program (where the direct work is) once; Sleep
// really pauses and is timed. False when a module could not be patched.
bool HookCalls(HMODULE plugin);
// Starts a new count (and a new sum of the time slept).
void StartCount();
// The calls since StartCount, the C allocators left out (they are not calls into the system).
CallCounts TakeCount();
// Seconds slept since StartCount.
double SleptSeconds();
// Functions whose counts differ, largest difference first: "Name +N" (plug-in more) or "Name -N".
std::string Differences(const CallCounts& plugin, const CallCounts& direct, size_t top);
// Every function either side called: name, calls and milliseconds per run on each side (markdown
// rows).
void PrintAllCalls(const char* action, const CallCounts& plugin, const CallCounts& direct);

// ---- the plug-in, loaded from the program's folder as the host loads it ------------------------

using Plugin = host::PluginLibrary;

// ---- (a) enumeration (enumeration_bench.cpp; the direct calls in enumeration_direct.cpp) -------

void EnumerateDirectly(DrvStatusInfo& info);

struct EnumFigures {
    double exportMicros = 0, directMicros = 0, ratio = 0;
    CallCounts exportCalls, directCalls;  // one enumeration each
};

EnumFigures BenchEnumeration(const Plugin& plugin, int rounds, int calls);

// ---- (b) install, update, uninstall (lifecycle_bench.cpp; the direct work in
//      lifecycle_direct.cpp, deploy_direct.cpp and service_direct.cpp) ---------------------------

void InstallDirectly(const std::wstring& package);
void UpdateDirectly(const std::wstring& package);
void UninstallDirectly(const std::wstring& package);

inline constexpr int kLifecycleActions = 3;  // install, update, uninstall

struct LifecycleFigures {
    int pairs = 0;  // ABBA pairs of rounds measured
    // Medians over the rounds: the plug-in's time less its Sleep, that Sleep, the direct time.
    double netMs[kLifecycleActions] = {}, sleptMs[kLifecycleActions] = {},
           directMs[kLifecycleActions] = {};
    // The median of the pairs' ratios, the largest pair ratio, and the smallest and the largest
    // ratio of a single round.
    double ratio[kLifecycleActions] = {}, worstPair[kLifecycleActions] = {},
           roundRange[kLifecycleActions][2] = {};
    uint32_t logLines[kLifecycleActions] = {};  // messages the action hands to the log library
    CallCounts exportCalls[kLifecycleActions], directCalls[kLifecycleActions];        // last round
    CallCounts exportCallsAll[kLifecycleActions], directCallsAll[kLifecycleActions];  // all rounds
    bool ok = true;
};

// `pairs` ABBA pairs of rounds after one round that warms the caches.
LifecycleFigures BenchLifecycle(const Plugin& plugin, int pairs, const std::wstring& work);

// ---- (c) a log site whose category is off (log_gate_bench.cpp) ----------------------------------

struct GateFigures {
    double nanosPerSite = 0;
    double callsPerSite = 0;
    unsigned long long flushes = 0;
    unsigned long long allocations = 0;
    double exportCallsOff = 0;
};

GateFigures BenchLogGate(const Plugin& plugin, int sites);

}  // namespace qelmo::bench
