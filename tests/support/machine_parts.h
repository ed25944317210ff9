// The parts of the machine clean-up (machine.cpp) that live in files of their own: removing a
// service (service_removal.cpp) and ending the process that hosts one (process_end.cpp).
#pragma once

#include <windows.h>

#include <string>

#include "support/machine.h"

namespace qelmo::test::machine_parts {

// How often a state is looked at while waiting for it.
constexpr DWORD kPollMs = 50;

inline std::wstring ErrorText(const std::wstring& what, DWORD error) {
    return what + L": error " + std::to_wstring(error);
}

// The service's current state (0 when it cannot be queried) and its status.
DWORD QueryState(SC_HANDLE service, SERVICE_STATUS_PROCESS& status);

enum class Host { Ended, Gone, Kept };

// Ends the process that hosts a service which will not stop (process_end.cpp).
Host EndHost(SC_HANDLE service, const std::wstring& name, DWORD pid, CleanReport& report);

// Stops and deletes one service and waits until the service manager has forgotten it.
void RemoveService(SC_HANDLE scm, const std::wstring& name, CleanReport& report);

}  // namespace qelmo::test::machine_parts
