// The fault-injection host: loads helperQELMODriver.dll as the host platform does, patches its
// import table (fault_hooks.h) and runs one action through the exports with one planned fault.
//
//   reliability_fault_host --action A --v1 FOLDER --v2 FOLDER [--mode M --point N --error K]
//     A: install (v1), update (v2), uninstall (v1), enumerate, batch (install v1 + update v2)
//     M: pass (default), once, always, kill; N: the 1-based counted call; K: which of the
//        function's failures
//
// Prints, one per line:
//   sequence NAME,NAME,...      the counted calls of the action, in order
//   fault FUNCTION ERROR        the call that was failed (none when the action ended before N)
//   status STATE VERSION        enumeration: what the callback saw (and "callbacks C")
//   result 0xXXXXXXXX           the export's result
// An exception out of an export prints "escaped exception" and exits with 3. A kill ends the
// process with fault::kKilledExitCode at call N.
#include <windows.h>

#include <qelmo_plugin.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fault/fault_hooks.h"
#include "support/campaign.h"

namespace qelmo::fault {
namespace {

struct Seen {
    int calls = 0;
    DrvStatusInfo info{};
};

uint32_t Remember(DrvStatusInfo* info, void* context) {
    auto* seen = static_cast<Seen*>(context);
    ++seen->calls;
    if (info) seen->info = *info;
    return 0;
}

DrvInfo Record(uint32_t action, const std::wstring& folder) {
    DrvInfo record{};
    record.driver_id = QELMO_DRIVER_ID;
    wcsncpy(record.wszDriverPath, folder.c_str(), QELMO_DRIVER_PATH_UNITS - 1);
    record.action = action;
    return record;
}

Mode ParseMode(const std::wstring& text) {
    if (text == L"once") return Mode::kFailOnce;
    if (text == L"always") return Mode::kFailAlways;
    if (text == L"kill") return Mode::kKill;
    return Mode::kPass;
}

int Run(const reliability::Options& options) {
    reliability::InstallCrashReporter();
    const std::wstring action = options.Text(L"--action", L"");
    const std::wstring v1 = options.Text(L"--v1", L"");
    const std::wstring v2 = options.Text(L"--v2", L"");

    HMODULE plugin =
        LoadLibraryW((reliability::ProgramFolder() + L"helperQELMODriver.dll").c_str());
    if (!plugin) {
        reliability::Say("cannot load the plug-in: error %lu\n", GetLastError());
        return 2;
    }
    auto doAction = reinterpret_cast<PFN_Plugin_Interface_DriversDoAction>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "Plugin_Interface_DriversDoAction")));
    auto enumerate = reinterpret_cast<PFN_Plugin_Interface_EnumerateDriversInfo>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "Plugin_Interface_EnumerateDriversInfo")));
    if (!doAction || !enumerate) return 2;
    PatchImports(plugin);

    std::vector<DrvInfo> records;
    if (action == L"install") {
        records = {Record(ACTION_INSTALL, v1)};
    } else if (action == L"update") {
        records = {Record(ACTION_UPDATE, v2)};
    } else if (action == L"uninstall") {
        records = {Record(ACTION_UNINSTALL, v1)};
    } else if (action == L"batch") {
        records = {Record(ACTION_INSTALL, v1), Record(ACTION_UPDATE, v2)};
    } else if (action != L"enumerate") {
        reliability::Say("unknown action\n");
        return 2;
    }

    Plan plan;
    plan.mode = ParseMode(options.Text(L"--mode", L"pass"));
    plan.point = static_cast<uint32_t>(options.Number(L"--point", 0));
    plan.errorChoice = static_cast<size_t>(options.Number(L"--error", 0));
    SetPlan(plan);

    uint32_t result = 0;
    Seen seen;
    try {
        if (records.empty())
            result = enumerate(&Remember, &seen);
        else
            result = doAction(records.data(), static_cast<uint32_t>(records.size()));
    } catch (...) {
        reliability::Say("escaped exception\n");
        return 3;
    }
    const std::vector<uint16_t> sequence = Sequence();
    UnpatchImports();

    std::string names;
    for (uint16_t id : sequence) {
        if (!names.empty()) names += ',';
        names += Functions()[id].name;
    }
    reliability::Say("sequence %s\n", names.c_str());
    if (plan.mode != Mode::kPass && FaultMade() && plan.point >= 1 && plan.point <= sequence.size())
        reliability::Say("fault %s %lu\n", Functions()[sequence[plan.point - 1]].name,
                         FaultError());
    if (records.empty()) {
        char version[sizeof seen.info.szVersion + 1] = {};
        memcpy(version, seen.info.szVersion, sizeof seen.info.szVersion);
        reliability::Say("callbacks %d\nstatus 0x%08x %s\n", seen.calls, seen.info.state, version);
    }
    reliability::Say("result 0x%08x\n", result);
    return 0;
}

}  // namespace
}  // namespace qelmo::fault

int main() {
    return qelmo::fault::Run(qelmo::reliability::Options::FromCommandLine());
}
