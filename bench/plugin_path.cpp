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

bool CopyPackage(const std::wstring& name, const std::wstring& target) {
    const std::wstring source = test::PackageDir(name);
    CreateDirectoryW(target.c_str(), nullptr);
    CreateDirectoryW((target + L"\\AddOn").c_str(), nullptr);
    bool ok = true;
    for (const wchar_t* file : {L"qelmo.inf", L"qelmo.sys", L"kipmon64.dll", L"kipmon.dll",
                                L"AddOn\\KipEvt64.dll", L"AddOn\\KipEvt.dll"})
        ok = CopyFileW((source + L"\\" + file).c_str(), (target + L"\\" + file).c_str(), FALSE) &&
             ok;
    return ok;
}

}  // namespace qelmo::bench
