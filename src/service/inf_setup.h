// Running the driver package INF's install and uninstall sections (mode 128).
#pragma once

#include <windows.h>

#include <string>

namespace qelmo {

// True when, after "DefaultInstall" ran, a service named after the INF file exists.
BOOL _InstallDriverByInf(const wchar_t* infPath);
// True when "DefaultUninstall" was run (the path exists).
BOOL _UnInstallDriverByInf(const wchar_t* infPath);
bool PathExists(const wchar_t* path);

// True when every file that the INF's install section copies is beside the INF (or when the
// section cannot be read: the setup function then copies nothing either). The setup function
// asks the user for a missing source file and waits for an answer that, in the host's service
// process, never comes: such an INF must not be run.
bool InfSourceFilesPresent(const std::wstring& infPath);

// The service name an INF path implies: text after the last '/' or '\' and before the last '.'.
std::wstring InfServiceName(const std::wstring& infPath);
// "<section> 128 <path>", cut to 519 units (the setup command-line buffer holds 520 with NUL).
std::wstring BuildInfCommandLine(const wchar_t* section, const wchar_t* infPath);

}  // namespace qelmo
