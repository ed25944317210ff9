#include "support/plugin_host.h"

#include <cwchar>

#include "support/fixtures.h"

namespace qelmo::test {

DrvInfo MakeRecord(uint32_t action, const std::wstring& path, uint32_t compareState) {
    DrvInfo record{};
    record.driver_id = QELMO_DRIVER_ID;
    wcsncpy(record.wszDriverPath, path.c_str(), QELMO_DRIVER_PATH_UNITS - 1);
    record.action = action;
    record.compare_state = compareState;
    return record;
}

PluginHost::PluginHost() {
    module_.reset(LoadLibraryW((BinDir() + L"helperQELMODriver.dll").c_str()));
    if (!module_) return;
    doAction_ = ProcAddress<PFN_Plugin_Interface_DriversDoAction>(
        module_.get(), "Plugin_Interface_DriversDoAction");
    enumerate_ = ProcAddress<PFN_Plugin_Interface_EnumerateDriversInfo>(
        module_.get(), "Plugin_Interface_EnumerateDriversInfo");
}

PluginHost::~PluginHost() = default;

uint32_t PluginHost::DoAction(const DrvInfo* records, uint32_t count) const {
    return doAction_(records, count);
}

uint32_t PluginHost::DoAction(const std::vector<DrvInfo>& records) const {
    return doAction_(records.data(), static_cast<uint32_t>(records.size()));
}

uint32_t PluginHost::Run(uint32_t action, const std::wstring& path, uint32_t compareState) const {
    DrvInfo record = MakeRecord(action, path, compareState);
    return doAction_(&record, 1);
}

namespace {
struct Seen {
    DrvStatusInfo info{};
    int calls = 0;
    void* context = nullptr;
};
uint32_t Remember(DrvStatusInfo* info, void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->info = *info;
    seen->context = context;
    ++seen->calls;
    return 0;
}
}  // namespace

DrvStatusInfo PluginHost::Status(int* callbackCalls, uint32_t* result) const {
    Seen seen;
    uint32_t r = enumerate_(&Remember, &seen);
    if (callbackCalls) *callbackCalls = seen.calls;
    if (result) *result = r;
    return seen.info;
}

}  // namespace qelmo::test
