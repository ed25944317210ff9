#include "service/service_control.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "common/debug_log.h"
#include "common/driver_names.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/trace.h"
#include "service/service_names.h"

// Every line of this file goes to the installation category under the drivermanage source id.
// Logging must not disturb the last error, which is part of these functions' results.
#define SVC_LOG(level, ...)                                                                      \
    do {                                                                                         \
        ::qelmo::LastErrorKeeper svcLogKeep_;                                                    \
        QLOG(::qelmo::logid::kCatInstall, ::qelmo::logid::kSrcDriverManage, level, __VA_ARGS__); \
    } while (0)
#define SVC_TRACE(name, ...)                                                          \
    QTRACE_SCOPE(name, ::qelmo::logid::kCatInstall, ::qelmo::logid::kSrcDriverManage, \
                 ::qelmo::logid::kTrace, __VA_ARGS__)

namespace qelmo {

namespace {

bool IsNullOrEmpty(const wchar_t* text) {
    return text == nullptr || *text == L'\0';
}

}  // namespace

ScHandle OpenServiceManager() {
    return ScHandle(OpenSCManagerW(nullptr, nullptr, svc::kScmAccess));
}

ScHandle OpenServiceForQuery(SC_HANDLE scm, const wchar_t* name) {
    return ScHandle(OpenServiceW(scm, name, svc::kQueryAccess));
}

DWORD WaitPauseMs(DWORD waitHint) {
    DWORD pause = waitHint / svc::kWaitHintDivisor;
    if (pause < svc::kShortHintPauseMs) return svc::kMinPauseMs;
    return std::min(pause, svc::kMaxPauseMs);
}

bool WaitDeadlinePassed(DWORD startTick, DWORD nowTick, DWORD timeoutMs) {
    if (timeoutMs == svc::kNoTimeout) return false;
    return static_cast<DWORD>(nowTick - startTick) > timeoutMs;
}

BOOL WaitForServiceStateEx(SC_HANDLE service, const DWORD* states, DWORD count,
                           SERVICE_STATUS* status, DWORD timeoutMs) {
    SVC_TRACE(trace, L"WaitForServiceStateEx", L"timeout value: ", timeoutMs);
    const DWORD startTick = GetTickCount();
    SERVICE_STATUS localStatus = {};
    SERVICE_STATUS* current = status ? status : &localStatus;
    bool firstPass = true;
    DWORD lastState = 0;
    DWORD lastCheckPoint = 0;
    BOOL result = FALSE;

    if (states == nullptr && count != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        for (;;) {
            if (!QueryServiceStatus(service, current)) break;
            if (std::find(states, states + count, current->dwCurrentState) != states + count) {
                result = TRUE;
                break;
            }
            if (WaitDeadlinePassed(startTick, GetTickCount(), timeoutMs)) {
                SetLastError(ERROR_TIMEOUT);
                break;
            }
            if (firstPass) {
                firstPass = false;
                lastState = current->dwCurrentState;
            } else if (current->dwCurrentState != lastState) {
                // A new state: its checkpoint becomes the reference, whatever it is.
                lastState = current->dwCurrentState;
            } else if (current->dwCheckPoint < lastCheckPoint) {
                break;  // the service went back on its progress: no point waiting longer
            }
            const DWORD pause = WaitPauseMs(current->dwWaitHint);
            for (DWORD i = 0; i < count; ++i)
                SVC_LOG(logid::kTrace, L"service status not match ", states[i], L", sleep: ", pause,
                        L", loop counter: ", i);
            Sleep(pause);
            lastCheckPoint = current->dwCheckPoint;
        }
    }

    QTRACE_LEAVE(trace, L"Is Service Ok: ", result);
    return result;
}

BOOL StartServiceAndWait(SC_HANDLE scm, const wchar_t* name) {
    BOOL result = FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        ScHandle service(OpenServiceW(scm, name, svc::kStartAccess));
        if (!service) return FALSE;

        CDebugLog debugLog;
        debugLog.Init();

        if (StartServiceW(service.get(), 0, nullptr)) {
            SERVICE_STATUS status = {};
            const DWORD wanted[] = {SERVICE_STOPPED, SERVICE_RUNNING};
            if (WaitForServiceStateEx(service.get(), wanted, 2, &status, svc::kStartWaitMs)) {
                if (status.dwCurrentState == SERVICE_RUNNING) {
                    result = TRUE;
                } else {
                    // Started, then stopped by itself: the callers tell this apart by 1305.
                    SVC_LOG(logid::kWarn, svc::kFellBackToStopped);
                    debugLog.Write(nullptr, L"%ls%ls", svc::kDebugFileTag, svc::kFellBackToStopped);
                    const DWORD fellBack = ERROR_UNKNOWN_REVISION;
                    SVC_LOG(logid::kError, svc::kStartServiceFailed, fellBack);
                    SetLastError(fellBack);
                }
            } else {
                SVC_LOG(logid::kWarn, svc::kWaitTimedOut);
                SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            }
        } else if (const DWORD startError = GetLastError();
                   startError == ERROR_SERVICE_ALREADY_RUNNING) {
            result = TRUE;
        } else {
            SVC_LOG(logid::kError, svc::kStartServiceFailed, startError);
            PrintToConsole("ControlService failed! function:StartService Error = %d \n",
                           static_cast<int>(startError));
            SetLastError(startError);
        }
        error = GetLastError();
    }
    SetLastError(error);
    return result;
}

BOOL StartDriverService(const wchar_t* name) {
    SVC_TRACE(trace, L"StartDriverService", L"Driver Name:", name);  // no leave line for no name
    if (IsNullOrEmpty(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL result = FALSE;
    {
        ScHandle scm = OpenServiceManager();
        if (scm) result = StartServiceAndWait(scm.get(), name);
    }
    QTRACE_LEAVE(trace, L"bResult: ", result);
    return result;
}

BOOL StopDriver(const wchar_t* name) {
    if (IsNullOrEmpty(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!HasNoMailslotInstance(name)) {
        // An instance of the service still talks to the driver: leave it running.
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    ScHandle scm = OpenServiceManager();
    if (!scm) return FALSE;
    ScHandle service(OpenServiceW(scm.get(), name, svc::kStopAccess));
    if (!service) return FALSE;

    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        PrintToConsole("ControlService failed! function:StopDriver Error = %d \n",
                       static_cast<int>(GetLastError()));
        return FALSE;
    }
    const DWORD wanted[] = {SERVICE_STOPPED};
    if (WaitForServiceStateEx(service.get(), wanted, 1, nullptr, svc::kStopWaitMs)) return TRUE;
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return FALSE;
}

BOOL QueryDriverServiceStatus(const wchar_t* name, SERVICE_STATUS* status) {
    if (IsNullOrEmpty(name) || status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ScHandle scm = OpenServiceManager();
    if (!scm) return FALSE;
    ScHandle service = OpenServiceForQuery(scm.get(), name);
    if (!service) return FALSE;
    return QueryServiceStatus(service.get(), status);
}

BOOL DeleteDriverService(SC_HANDLE scm) {
    ScHandle service(OpenServiceW(scm, names::kServiceName, svc::kDeleteAccess));
    if (!service) {
        const DWORD openError = GetLastError();
        SVC_LOG(logid::kError, svc::kOpenServiceFailed, openError);
        return FALSE;
    }
    return DeleteService(service.get());
}

BOOL IsDriverExist(const wchar_t* name) {
    SVC_TRACE(trace, L"IsDriverExist");
    BOOL result = FALSE;
    if (name != nullptr) {
        SVC_LOG(logid::kTrace, L"try to opens an existing service: ", name);
        ScHandle scm = OpenServiceManager();
        if (!scm) {
            const DWORD openError = GetLastError();
            SVC_LOG(logid::kError, L"OpenSCManager failed. error code: ", openError);
        } else {
            ScHandle service = OpenServiceForQuery(scm.get(), name);
            const DWORD openError = GetLastError();
            if (!service)
                SVC_LOG(logid::kError, svc::kOpenServiceFailed, openError);
            else
                result = TRUE;
        }
    }
    QTRACE_LEAVE(trace, L"The service: ", name, result ? L" exists" : L" does not exist");
    return result;
}

BOOL HasNoMailslotInstance(const wchar_t* name) {
    if (name == nullptr) return TRUE;
    int found = 0;
    for (int i = 0; i < svc::kMailslotInstances; ++i) {
        wchar_t slotName[svc::kMailslotNameUnits] = {};
        // A name that does not fit the buffer is not probed: it cannot be opened as a path anyway.
        if (_snwprintf_s(slotName, svc::kMailslotNameUnits, _TRUNCATE, svc::kMailslotFormat, name,
                         i) < 0)
            continue;
        FileHandle slot(CreateFileW(slotName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (slot) ++found;
    }
    return found == 0;
}

void PrintToConsole(const char* format, ...) {
    if (format == nullptr) return;
    LastErrorKeeper keep;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

}  // namespace qelmo
