// The service: stop, start, existence, deletion, the INF sections and the service's DACL, done
// directly.
#include <windows.h>
#include <accctrl.h>
#include <aclapi.h>
#include <setupapi.h>

#include <string>

#include "common/handles.h"
#include "direct.h"
#include "service/service_names.h"

namespace qelmo::bench::direct {

// Every access-control entry of the service object, read and written back (restrict or relax).
void RewriteServiceDacl() {
    PACL dacl = nullptr;
    LocalMem descriptor;
    if (GetNamedSecurityInfoW(
            L"qelmo", SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())) == ERROR_SUCCESS &&
        dacl) {
        wchar_t name[] = L"qelmo";
        SetNamedSecurityInfoW(name, SE_SERVICE,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    }
}

// Stops the driver (if running) and waits for it without sleeping.
void StopService() {
    for (int i = 0; i < svc::kMailslotInstances; ++i) {
        wchar_t slot[svc::kMailslotNameUnits] = {};
        _snwprintf_s(slot, svc::kMailslotNameUnits, _TRUNCATE, svc::kMailslotFormat, L"qelmo", i);
        FileHandle probe(CreateFileW(slot, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(scm ? OpenServiceW(scm.get(), L"qelmo", SERVICE_STOP | SERVICE_QUERY_STATUS)
                         : nullptr);
    SERVICE_STATUS status = {};
    if (service && QueryServiceStatus(service.get(), &status) &&
        status.dwCurrentState != SERVICE_STOPPED &&
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        while (QueryServiceStatus(service.get(), &status) &&
               status.dwCurrentState != SERVICE_STOPPED)
            SwitchToThread();
    service.reset();
    scm.reset();
}

bool StartService() {
    ReadDebugSwitch();
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(scm ? OpenServiceW(scm.get(), L"qelmo", SERVICE_START | SERVICE_QUERY_STATUS)
                         : nullptr);
    SERVICE_STATUS status = {};
    bool running = false;
    if (service && StartServiceW(service.get(), 0, nullptr))
        while (QueryServiceStatus(service.get(), &status)) {
            if (status.dwCurrentState == SERVICE_RUNNING ||
                status.dwCurrentState == SERVICE_STOPPED) {
                running = status.dwCurrentState == SERVICE_RUNNING;
                break;
            }
            SwitchToThread();
        }
    service.reset();
    scm.reset();
    return running;
}

bool ServiceExists() {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(scm ? OpenServiceW(scm.get(), L"qelmo", SERVICE_QUERY_STATUS) : nullptr);
    const bool exists = static_cast<bool>(service);
    service.reset();
    scm.reset();
    return exists;
}

void RunInf(const wchar_t* section, const std::wstring& package) {
    std::wstring command = std::wstring(section) + L" 128 " + package + L"\\qelmo.inf";
    InstallHinfSectionW(nullptr, nullptr, command.c_str(), 0);
}

bool ServiceStopped() {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(scm ? OpenServiceW(scm.get(), L"qelmo", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status = {};
    const bool stopped = !service || !QueryServiceStatus(service.get(), &status) ||
                         status.dwCurrentState == SERVICE_STOPPED;
    service.reset();
    scm.reset();
    return stopped;
}

void DeleteTheService() {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(scm ? OpenServiceW(scm.get(), L"qelmo", DELETE | SERVICE_QUERY_STATUS)
                         : nullptr);
    SERVICE_STATUS status = {};
    if (service && QueryServiceStatus(service.get(), &status)) DeleteService(service.get());
    service.reset();
    scm.reset();
}

}  // namespace qelmo::bench::direct
