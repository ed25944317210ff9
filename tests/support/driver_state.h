// Reading and nudging the driver's state on the test machine, with plain Win32 calls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/layout.h"

namespace qelmo::test {

// The service's status; *exists false when it cannot be opened or queried.
SERVICE_STATUS QelmoStatus(bool* exists);
// Polls until the service is gone (true) or `timeoutMs` passed.
bool WaitUntilServiceGone(DWORD timeoutMs = 5000);
// StartServiceW on "qelmo"; "already running" counts as started.
bool StartQelmo();

// The deployed module files of a version text.
struct DeployedModules {
    std::wstring kipmon64, kipmon, evt64, evt;
    std::vector<std::wstring> All() const { return {kipmon64, kipmon, evt64, evt}; }
};
DeployedModules ModulesOf(const std::wstring& version);

// Values of the service key (64-bit view): set or delete.
void SetServiceDword(const wchar_t* name, DWORD value, const wchar_t* subkey = nullptr);
void DeleteServiceValue(const wchar_t* name);

using layout::PendingDeletionOf;
using layout::PendingRenames;

// Byte-for-byte comparison; false when either file cannot be read.
bool SameBytes(const std::wstring& a, const std::wstring& b);
using layout::InstalledDriverFile;

}  // namespace qelmo::test
