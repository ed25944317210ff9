#include "fault/fault_action.h"

#include "support/campaign.h"

namespace qelmo::fault {

PatchedPlugin::PatchedPlugin() {
    library_.Load(reliability::ProgramFolder() + host::kPluginFile);
    if (library_.Module()) PatchImports(library_.Module(), &unhooked_);
}

PatchedPlugin::~PatchedPlugin() {
    if (!library_.Module()) return;
    UnpatchImports();
    library_.Unload();
}

bool IsActionName(const std::wstring& action) {
    return action == L"install" || action == L"update" || action == L"uninstall" ||
           action == L"enumerate" || action == L"batch";
}

ActionRun RunAction(const PatchedPlugin& plugin, const std::wstring& action, const std::wstring& v1,
                    const std::wstring& v2, const Plan& plan) {
    using host::MakeRecord;
    std::vector<DrvInfo> records;
    if (action == L"install") records = {MakeRecord(ACTION_INSTALL, v1)};
    if (action == L"update") records = {MakeRecord(ACTION_UPDATE, v2)};
    if (action == L"uninstall") records = {MakeRecord(ACTION_UNINSTALL, v1)};
    if (action == L"batch")
        records = {MakeRecord(ACTION_INSTALL, v1), MakeRecord(ACTION_UPDATE, v2)};

    ActionRun run;
    host::StatusReport status;
    SetPlan(plan);
    try {
        if (records.empty()) {
            status = plugin.Library().ReadStatus();
            run.result = status.result;
        } else {
            run.result = plugin.Library().DoAction(records);
        }
        run.resultSeen = true;
    } catch (...) {
        run.escaped = true;
    }
    run.sequence = Sequence();
    if (plan.mode != Mode::kPass && FaultMade() && plan.point >= 1 &&
        plan.point <= run.sequence.size()) {
        run.faultFunction = run.sequence[plan.point - 1];
        run.faultError = FaultError();
    }
    if (records.empty()) {
        run.callbacks = status.calls;
        run.status = status.info;
    }
    return run;
}

const wchar_t* ModeName(Mode mode) {
    switch (mode) {
        case Mode::kFailOnce:
            return L"once";
        case Mode::kFailAlways:
            return L"always";
        case Mode::kKill:
            return L"kill";
        case Mode::kPass:
            break;
    }
    return L"pass";
}

Mode ParseMode(const std::wstring& text) {
    if (text == L"once") return Mode::kFailOnce;
    if (text == L"always") return Mode::kFailAlways;
    if (text == L"kill") return Mode::kKill;
    return Mode::kPass;
}

}  // namespace qelmo::fault
