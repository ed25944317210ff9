#include "fault/fault_action.h"

#include <cwchar>

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

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

PatchedPlugin::PatchedPlugin() {
    module_.reset(LoadLibraryW((reliability::ProgramFolder() + L"helperQELMODriver.dll").c_str()));
    if (!module_) return;
    doAction_ = Export<PFN_Plugin_Interface_DriversDoAction>(module_.get(),
                                                             "Plugin_Interface_DriversDoAction");
    enumerate_ = Export<PFN_Plugin_Interface_EnumerateDriversInfo>(
        module_.get(), "Plugin_Interface_EnumerateDriversInfo");
    PatchImports(module_.get(), &unhooked_);
}

PatchedPlugin::~PatchedPlugin() {
    if (!module_) return;
    UnpatchImports();
    module_.reset();
}

bool IsActionName(const std::wstring& action) {
    return action == L"install" || action == L"update" || action == L"uninstall" ||
           action == L"enumerate" || action == L"batch";
}

ActionRun RunAction(const PatchedPlugin& plugin, const std::wstring& action, const std::wstring& v1,
                    const std::wstring& v2, const Plan& plan) {
    std::vector<DrvInfo> records;
    if (action == L"install") records = {Record(ACTION_INSTALL, v1)};
    if (action == L"update") records = {Record(ACTION_UPDATE, v2)};
    if (action == L"uninstall") records = {Record(ACTION_UNINSTALL, v1)};
    if (action == L"batch") records = {Record(ACTION_INSTALL, v1), Record(ACTION_UPDATE, v2)};

    ActionRun run;
    Seen seen;
    SetPlan(plan);
    try {
        if (records.empty())
            run.result = plugin.Enumerate()(&Remember, &seen);
        else
            run.result = plugin.DoAction()(records.data(), static_cast<uint32_t>(records.size()));
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
        run.callbacks = seen.calls;
        run.status = seen.info;
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
