// The fault-injection host: loads helperQELMODriver.dll as the host platform does, patches its
// import table (fault_hooks.h) and runs one action through the exports with one planned fault.
// The campaign (fault_campaign.cpp) runs its kill points in it; it also serves for looking at one
// point by hand.
//
//   reliability_fault_host --action A --v1 FOLDER --v2 FOLDER [--mode M --point N --error K]
//                          [--times]
//     A: install (v1), update (v2), uninstall (v1), enumerate, batch (install v1 + update v2)
//     M: pass (default), once, always, kill; N: the 1-based counted call; K: which of the
//        function's failures; --times: calls and real time per function
//
// Prints, one per line:
//   sequence NAME,NAME,...      the counted calls of the action, in order
//   fault FUNCTION ERROR        the call that was failed
//   callbacks C / status S V    enumeration: what the callback saw
//   result 0xXXXXXXXX           the export's result
// An exception out of an export prints "escaped exception" and exits with 3. A kill ends the
// process with fault::kKilledExitCode at call N.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "fault/fault_action.h"
#include "support/campaign.h"

namespace qelmo::fault {
namespace {

int Run(const reliability::Options& options) {
    reliability::InstallCrashReporter();
    const std::wstring action = options.Text(L"--action", L"");
    if (!IsActionName(action)) {
        reliability::Say("unknown action\n");
        return 2;
    }
    PatchedPlugin plugin;
    if (!plugin.Loaded()) {
        reliability::Say("cannot load the plug-in\n");
        return 2;
    }
    Plan plan;
    plan.mode = ParseMode(options.Text(L"--mode", L"pass"));
    plan.point = static_cast<uint32_t>(options.Number(L"--point", 0));
    plan.errorChoice = static_cast<size_t>(options.Number(L"--error", 0));
    const bool times = options.Has(L"--times");
    SetTiming(times);
    const ActionRun run =
        RunAction(plugin, action, options.Text(L"--v1", L""), options.Text(L"--v2", L""), plan);
    if (run.escaped) {
        reliability::Say("escaped exception\n");
        return 3;
    }
    std::string names;
    for (uint16_t id : run.sequence) {
        if (!names.empty()) names += ',';
        names += Functions()[id].name;
    }
    reliability::Say("sequence %s\n", names.c_str());
    if (run.faultFunction >= 0)
        reliability::Say("fault %s %lu\n", Functions()[run.faultFunction].name, run.faultError);
    if (run.callbacks >= 0) {
        char version[sizeof run.status.szVersion + 1] = {};
        std::memcpy(version, run.status.szVersion, sizeof run.status.szVersion);
        reliability::Say("callbacks %d\nstatus 0x%08x %s\n", run.callbacks, run.status.state,
                         version);
    }
    if (times) {
        // Per function: calls and microseconds, for finding where an action's time goes.
        std::vector<std::pair<int, double>> total(Functions().size());
        for (const CallTime& time : CallTimes()) {
            ++total[time.id].first;
            total[time.id].second += time.microseconds;
        }
        for (size_t id = 0; id < total.size(); ++id)
            if (total[id].first)
                reliability::Say("time %s %d %.0f\n", Functions()[id].name, total[id].first,
                                 total[id].second);
        reliability::Say("time Sleep(skipped ms) %llu\n",
                         static_cast<unsigned long long>(SkippedSleepMs()));
    }
    reliability::Say("result 0x%08x\n", run.result);
    return 0;
}

}  // namespace
}  // namespace qelmo::fault

int main() {
    return qelmo::fault::Run(qelmo::reliability::Options::FromCommandLine());
}
