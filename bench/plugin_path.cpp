// The plug-in as the host loads it, and the fixture packages the lifecycle rows deploy.
#include <cwchar>
#include <string>

#include "bench.h"
#include "support/fixtures.h"

namespace qelmo::bench {

bool Plugin::Load() {
    module = LoadLibraryW((test::BinDir() + L"helperQELMODriver.dll").c_str());
    if (!module) return false;
    doAction = test::ProcAddress<PFN_Plugin_Interface_DriversDoAction>(
        module, "Plugin_Interface_DriversDoAction");
    enumerate = test::ProcAddress<PFN_Plugin_Interface_EnumerateDriversInfo>(
        module, "Plugin_Interface_EnumerateDriversInfo");
    return doAction && enumerate;
}

uint32_t Plugin::Run(uint32_t action, const std::wstring& folder) const {
    DrvInfo record{};
    record.driver_id = QELMO_DRIVER_ID;
    wcsncpy(record.wszDriverPath, folder.c_str(), QELMO_DRIVER_PATH_UNITS - 1);
    record.action = action;
    return doAction(&record, 1);
}

}  // namespace qelmo::bench
