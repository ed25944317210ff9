// Service removal for the machine clean-up: stop (or end the host of) a service, delete it and
// wait until the service manager forgets it.
#include "support/machine_parts.h"

#include "common/handles.h"

namespace qelmo::test::machine_parts {
namespace {

// How long a service gets to leave a pending state, and to stop after STOP was accepted.
constexpr DWORD kPendingLimitMs = 15000;
constexpr DWORD kStopAcceptedLimitMs = 3000;
// How long the service manager gets to forget a deleted service.
constexpr DWORD kForgetLimitMs = 10000;

// Asks the service to stop and waits. False when it stays up: STOP refused (1052, 1061), or
// accepted but the service goes on running (a driver without unload routine does that).
bool StopAndWait(SC_HANDLE service) {
    const DWORD start = GetTickCount();
    DWORD stopAcceptedAt = 0;
    bool stopAccepted = false;
    while (GetTickCount() - start < kPendingLimitMs) {
        SERVICE_STATUS_PROCESS status;
        DWORD state = QueryState(service, status);
        if (state == SERVICE_STOPPED) return true;
        if (state == 0) return false;
        if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
            if (!stopAccepted) {
                SERVICE_STATUS ignored = {};
                if (ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
                    stopAccepted = true;
                    stopAcceptedAt = GetTickCount();
                } else {
                    // 1052: STOP not accepted; 1061 while running: a STOP was taken earlier and
                    // the service never went away (a driver without unload routine).
                    return GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
                }
            } else if (GetTickCount() - stopAcceptedAt > kStopAcceptedLimitMs) {
                return false;
            }
        }
        Sleep(kPollMs);
    }
    return false;
}

}  // namespace

DWORD QueryState(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    status = {};
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed))
        return 0;
    return status.dwCurrentState;
}

// Stops and deletes one service and waits until the service manager has forgotten it.
void RemoveService(SC_HANDLE scm, const std::wstring& name, CleanReport& report) {
    ScHandle service(OpenServiceW(scm, name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST)
            report.problems.push_back(ErrorText(L"OpenService " + name, error));
        return;
    }
    SERVICE_STATUS_PROCESS first;
    QueryState(service.get(), first);
    bool stopped = StopAndWait(service.get());
    if (!stopped) {
        Host host = EndHost(service.get(), name, first.dwProcessId, report);
        stopped = host != Host::Kept;
        if (host == Host::Ended) report.hostEnded = true;
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        report.problems.push_back(ErrorText(L"DeleteService " + name, GetLastError()));
    service.reset();

    const DWORD start = GetTickCount();
    while (true) {
        ScHandle again(OpenServiceW(scm, name.c_str(), SERVICE_QUERY_STATUS));
        if (!again && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return;
        if (GetTickCount() - start > kForgetLimitMs) break;
        again.reset();
        Sleep(kPollMs);
    }
    if (!stopped) report.serviceStuck = true;
    report.problems.push_back(L"service " + name +
                              (stopped ? L" is still registered (a handle to it is still open?)"
                                       : L" cannot be stopped and stays until the session ends"));
}

}  // namespace qelmo::test::machine_parts
