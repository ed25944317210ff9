// Install, update and uninstall done directly: the same work as the plug-in's lifecycle, in the
// same order, without its logging and without Sleep (waits spin on SwitchToThread).
#include <oxal_setup.h>

#include <string>

#include "bench.h"
#include "direct.h"
#include "support/machine.h"

namespace qelmo::bench {

using namespace direct;

void InstallDirectly(const std::wstring& package) {
    ReadRecordedModulePaths();
    DeployModules(package);
    wchar_t device[MAX_PATH] = {};
    QueryDosDeviceW(L"C:", device, MAX_PATH);
    SetSz(kServiceKey, L"QELMOSystemDiskName", device);
    SetDword(kServiceKey, L"GHSwitch", 1);
    SetDword(kServiceKey, L"ZrkFlags", 0);
    SetDword(kParametersKey, L"GGCT", 3);
    SetDword(kParametersKey, L"GGCS", 1);
    SetDword(kParametersKey, L"ALSN", 1200);
    SetDword(kParametersKey, L"StatusCode", 9999);
    RunInf(L"DefaultInstall", package);
    if (ServiceExists()) FlushServiceKey();
    SetDword(kServiceKey, L"PermCount", 1);
    StampParameters();
    RewriteServiceDacl();
    FlushServiceKey();
    ConfigureFlags();
}

void UpdateDirectly(const std::wstring& package) {
    ReadDebugSwitch();
    ConfigureFlags();
    ResetSafetyNet();
    RewriteServiceDacl();
    const std::wstring old[] = {GetSz(kServiceKey, L"QELMOMonDllName"),
                                GetSz(kServiceKey, L"QELMOMonDll64Name"),
                                GetSz(std::wstring(kServiceKey) + L"\\AddOn\\KipEvt", L"path"),
                                GetSz(std::wstring(kServiceKey) + L"\\AddOn\\KipEvt64", L"path")};
    DeployModules(package);
    // The service looked for, its deletion mark read, looked for again and PermCount read.
    ServiceExists();
    GetDword(kServiceKey, L"DeleteFlag");
    ServiceExists();
    GetDword(kServiceKey, L"PermCount");
    const std::wstring drivers = test::DriversDir() + L"\\qelmo.sys";
    const std::wstring backup = package + L"\\qelmo_backup.sys";
    DWORD error = 0;
    Copy(backup.c_str(), drivers.c_str(), TRUE, &error);
    if (!ServiceStopped()) StopService();
    Copy(drivers.c_str(), (package + L"\\qelmo.sys").c_str(), TRUE, &error);
    // Stopped before the start, then ZrkFlags decides about the start.
    ServiceStopped();
    if (!(GetDword(kServiceKey, L"ZrkFlags") & 1)) StartService();
    DeleteFileW(backup.c_str());
    for (const auto& path : old)
        RemoveModuleFile(path, 1);
    RewriteServiceDacl();
}

void UninstallDirectly(const std::wstring& package) {
    ResetSafetyNet();
    RewriteServiceDacl();
    const std::wstring modules[] = {
        GetSz(kServiceKey, L"QELMOMonDllName"),
        GetSz(std::wstring(kServiceKey) + L"\\AddOn\\KipEvt", L"path"),
        GetSz(kServiceKey, L"QELMOMonDll64Name"),
        GetSz(std::wstring(kServiceKey) + L"\\AddOn\\KipEvt64", L"path")};
    for (const auto& path : modules)
        RemoveModuleFile(path, 4);
    RunInf(L"DefaultUninstall", package);
    DeleteTheService();
}

}  // namespace qelmo::bench
