// Benchmarks of helperQELMODriver.dll, measured side by side in one run; each figure is the median
// of several rounds. Not a test: it prints a table and returns 0 unless it could not measure.
//
//   (a) enumeration through the export against the same Win32 calls made directly
//       (enumeration_bench.cpp, enumeration_direct.cpp);
//   (b) install, update and uninstall through the export, less the time the plug-in spends in
//       Sleep (the pause after the registry flags and the polling of waits), against the same
//       work done directly, in ABBA pairs of rounds (lifecycle_bench.cpp; lifecycle_direct.cpp,
//       deploy_direct.cpp, service_direct.cpp, config_direct.cpp);
//   (c) a log site whose category is off: time per site, library calls per site, heap
//       allocations (log_gate_bench.cpp);
// and, for (a) and (b), the calls into the system per action on both sides, by function: the
// plug-in's imports and this program's are patched by the fault campaign's hooks
// (call_counts.cpp). The size and import count of the DLL come from scripts/bench.sh (objdump).
//
//   qelmo_bench [--rounds N] [--pairs N] [--enum-calls N] [--log-sites N] [--skip-lifecycle]
//               [--all-calls]
//
// --rounds: enumeration rounds (9); --pairs: ABBA pairs of lifecycle rounds (20), after one round
// that warms the caches. --all-calls adds every function either side called, with its calls and
// the time in them per run, averaged over the lifecycle rounds.
#include <windows.h>
#include <shellapi.h>

#include <oxal_log.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "common/handles.h"
#include "support/machine.h"

namespace qelmo::bench {

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

namespace {

constexpr size_t kTopDifferences = 5;

int Run() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    LocalMem argvOwner(argv);
    int rounds = 9, pairs = 20, enumCalls = 100, logSites = 1000000;
    bool lifecycle = true, allCalls = false;
    for (int i = 1; argv && i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == L"--rounds" && hasValue)
            rounds = _wtoi(argv[++i]);
        else if (a == L"--pairs" && hasValue)
            pairs = _wtoi(argv[++i]);
        else if (a == L"--enum-calls" && hasValue)
            enumCalls = _wtoi(argv[++i]);
        else if (a == L"--log-sites" && hasValue)
            logSites = _wtoi(argv[++i]);
        else if (a == L"--skip-lifecycle")
            lifecycle = false;
        else if (a == L"--all-calls")
            allCalls = true;
    }
    argvOwner.reset();
    rounds = std::max(rounds, 3);
    pairs = std::max(pairs, 1);

    Plugin plugin;
    if (!plugin.Load(host::ProgramFolder() + host::kPluginFile) || !HookCalls(plugin.Module())) {
        printf("cannot load helperQELMODriver.dll or patch the imports\n");
        return 2;
    }
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring work =
        std::wstring(temp) + L"qelmo_bench_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(work.c_str(), nullptr);
    const std::wstring logFile = work + L"\\plugin.log";

    // The driver installed and running: the enumeration then reads state and version.
    test::CleanMachine();
    std::wstring v1 = work + L"\\enum_v1";
    test::CopyPackageTo(L"v1", v1);
    OxalLog_SetOutput(nullptr);
    plugin.Run(ACTION_INSTALL, v1);
    OxalLog_Reconfigure();

    OxalLog_SetThreshold(nullptr, 2);
    OxalLog_SetOutput(logFile.c_str());
    const EnumFigures enumFile = BenchEnumeration(plugin, rounds, enumCalls);
    OxalLog_SetOutput(nullptr);
    const EnumFigures enumNone = BenchEnumeration(plugin, rounds, enumCalls);
    OxalLog_SetThreshold(nullptr, 0);
    const EnumFigures enumOff = BenchEnumeration(plugin, rounds, enumCalls);
    OxalLog_Reconfigure();
    test::CleanMachine();

    LifecycleFigures lifecycleFigures;
    LifecycleFigures lifecycleToFile;
    if (lifecycle) {
        OxalLog_SetThreshold(nullptr, 2);
        OxalLog_SetOutput(nullptr);
        lifecycleFigures = BenchLifecycle(plugin, pairs, work);
        OxalLog_SetOutput(logFile.c_str());
        lifecycleToFile = BenchLifecycle(plugin, pairs, work);
        OxalLog_Reconfigure();
    }
    const GateFigures gate = BenchLogGate(plugin, logSites);
    test::RemoveTree(work);

    printf(
        "| measure | through the plug-in | direct | ratio | goal | system calls, plug-in / direct "
        "|\n");
    printf("|---|---|---|---|---|---|\n");
    const struct {
        const char* label;
        const EnumFigures* figures;
    } enumRows[] = {{"enumeration, log level 2 to a file", &enumFile},
                    {"enumeration, log level 2, no output", &enumNone},
                    {"enumeration, logging off", &enumOff}};
    for (const auto& row : enumRows)
        printf("| %s | %.0f us | %.0f us | %.2fx | <= 1.2x | %u / %u |\n", row.label,
               row.figures->exportMicros, row.figures->directMicros, row.figures->ratio,
               row.figures->exportCalls.Total(), row.figures->directCalls.Total());
    const char* names[kLifecycleActions] = {"install v1", "update v1 to v2", "uninstall"};
    const struct {
        const char* output;
        double goal;
        const LifecycleFigures* figures;
    } outputs[] = {{"no output", 1.2, &lifecycleFigures}, {"to a file", 1.3, &lifecycleToFile}};
    std::string missed;
    if (lifecycle) {
        for (const auto& o : outputs)
            for (int i = 0; i < kLifecycleActions; ++i) {
                const LifecycleFigures& f = *o.figures;
                printf(
                    "| %s, log level 2 (%u lines), %s (less %.0f ms in Sleep) | %.0f ms | "
                    "%.0f ms | %.2fx (worst pair %.2fx; rounds %.2fx to %.2fx) | <= %.1fx | "
                    "%u / %u |\n",
                    names[i], f.logLines[i], o.output, f.sleptMs[i], f.netMs[i], f.directMs[i],
                    f.ratio[i], f.worstPair[i], f.roundRange[i][0], f.roundRange[i][1], o.goal,
                    f.exportCalls[i].Total(), f.directCalls[i].Total());
                // Judged on the figure as printed.
                if (std::round(f.ratio[i] * 100) > std::round(o.goal * 100)) {
                    char text[128];
                    snprintf(text, sizeof text, "%s%s, %s %.2fx", missed.empty() ? "" : "; ",
                             names[i], o.output, f.ratio[i]);
                    missed += text;
                }
            }
    }
    printf(
        "| log site, category off | %.1f ns, %.2f library calls, %llu heap allocations, %llu "
        "messages written | - | - | <= 2 calls, 0 allocations | - |\n",
        gate.nanosPerSite, gate.callsPerSite, gate.allocations, gate.flushes);
    printf(
        "| DoAction(unknown action), logging off | %.2f library calls (2 log sites) | - | - | "
        "<= 2 per site | - |\n",
        gate.exportCallsOff);
    printf(
        "\nenumeration: %d rounds (medians), %d calls per round; lifecycle: %d ABBA pairs of "
        "rounds after one warm-up round (median of the pairs' ratios); log sites per round: %d\n",
        rounds, enumCalls, pairs, logSites);
    if (!missed.empty()) printf("goal missed: %s\n", missed.c_str());
    if (lifecycle && (!lifecycleFigures.ok || !lifecycleToFile.ok))
        printf("note: some lifecycle rounds did not end cleanly\n");

    // Where the two sides' calls differ, by function (log level 2, no output).
    printf(
        "\n| action | system calls, plug-in / direct | largest differences (plug-in - direct) |\n");
    printf("|---|---|---|\n");
    printf("| enumeration | %u / %u | %s |\n", enumNone.exportCalls.Total(),
           enumNone.directCalls.Total(),
           Differences(enumNone.exportCalls, enumNone.directCalls, kTopDifferences).c_str());
    if (lifecycle)
        for (int i = 0; i < kLifecycleActions; ++i)
            printf("| %s | %u / %u | %s |\n", names[i], lifecycleFigures.exportCalls[i].Total(),
                   lifecycleFigures.directCalls[i].Total(),
                   Differences(lifecycleFigures.exportCalls[i], lifecycleFigures.directCalls[i],
                               kTopDifferences)
                       .c_str());
    if (allCalls && lifecycle) {
        printf("\nper run, over the %d rounds of the rows without output:\n\n",
               2 * lifecycleFigures.pairs);
        printf("| action | function | plug-in calls | time | direct calls | time |\n");
        printf("|---|---|---|---|---|---|\n");
        for (int i = 0; i < kLifecycleActions; ++i)
            PrintAllCalls(names[i], lifecycleFigures.exportCallsAll[i],
                          lifecycleFigures.directCallsAll[i]);
    }
    return 0;
}

}  // namespace
}  // namespace qelmo::bench

int main() {
    return qelmo::bench::Run();
}
