#include "host/plugin_library.h"

#include <cwchar>
#include <type_traits>

namespace qelmo::host {

namespace {

// The pointer types the header offers for binding are the exports' own.
static_assert(std::is_same_v<PFN_Plugin_Interface_DriversDoAction,
                             decltype(&Plugin_Interface_DriversDoAction)>);
static_assert(std::is_same_v<PFN_Plugin_Interface_EnumerateDriversInfo,
                             decltype(&Plugin_Interface_EnumerateDriversInfo)>);
static_assert(std::is_same_v<PFN_Plugin_Interface_GetHelperOwnerModuleID,
                             decltype(&Plugin_Interface_GetHelperOwnerModuleID)>);
static_assert(std::is_same_v<PFN_Plugin_Interface_GetModuleVersion,
                             decltype(&Plugin_Interface_GetModuleVersion)>);

template <typename F>
F BindExport(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The type and the name both come from the export's declaration, so they cannot disagree.
#define QELMO_BIND_EXPORT(module, function) BindExport<decltype(&function)>(module, #function)

uint32_t KeepStatus(DrvStatusInfo* info, void* context) {
    auto* report = static_cast<StatusReport*>(context);
    ++report->calls;
    if (info) report->info = *info;
    return 0;
}

}  // namespace

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring text(path, n);
    return text.substr(0, text.rfind(L'\\') + 1);
}

DrvInfo MakeRecord(uint32_t action, const std::wstring& folder, uint32_t compareState) {
    DrvInfo record{};
    record.driver_id = QELMO_DRIVER_ID;
    wcsncpy(record.wszDriverPath, folder.c_str(), QELMO_DRIVER_PATH_UNITS - 1);
    record.action = action;
    record.compare_state = compareState;
    return record;
}

bool PluginLibrary::Load(const std::wstring& path) {
    Unload();
    path_ = path;
    // The altered search order (the DLL's own folder for its imports) needs an absolute path.
    wchar_t full[MAX_PATH] = {};
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (n > 0 && n < MAX_PATH) path_ = full;
    module_.reset(LoadLibraryExW(path_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module_) {
        loadError_ = GetLastError();
        return false;
    }
    loadError_ = 0;
    HMODULE module = module_.get();
    exports_.doAction = QELMO_BIND_EXPORT(module, Plugin_Interface_DriversDoAction);
    exports_.enumerate = QELMO_BIND_EXPORT(module, Plugin_Interface_EnumerateDriversInfo);
    exports_.ownerModuleId = QELMO_BIND_EXPORT(module, Plugin_Interface_GetHelperOwnerModuleID);
    exports_.moduleVersion = QELMO_BIND_EXPORT(module, Plugin_Interface_GetModuleVersion);
    return exports_.Complete();
}

void PluginLibrary::Unload() {
    exports_ = {};
    module_.reset();
}

uint32_t PluginLibrary::DoAction(const DrvInfo* records, uint32_t count) const {
    return exports_.doAction(records, count);
}

uint32_t PluginLibrary::DoAction(const std::vector<DrvInfo>& records) const {
    return exports_.doAction(records.data(), static_cast<uint32_t>(records.size()));
}

uint32_t PluginLibrary::Run(uint32_t action, const std::wstring& folder,
                            uint32_t compareState) const {
    const DrvInfo record = MakeRecord(action, folder, compareState);
    return exports_.doAction(&record, 1);
}

StatusReport PluginLibrary::ReadStatus() const {
    StatusReport report;
    report.result = exports_.enumerate(&KeepStatus, &report);
    return report;
}

}  // namespace qelmo::host
