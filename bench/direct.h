// The direct work of the lifecycle rows, in pieces along the plug-in's own subsystems: the same
// Win32 calls the plug-in's path makes, made plainly from this program.
#pragma once

#include <windows.h>

#include <string>

namespace qelmo::bench::direct {

inline constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo";
inline constexpr const wchar_t* kParametersKey =
    L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\Parameters";

// ---- registry, parameters and the safety net (config_direct.cpp) --------------------------------

void SetSz(const std::wstring& key, const wchar_t* name, const std::wstring& value);
void SetDword(const std::wstring& key, const wchar_t* name, DWORD value);
DWORD GetDword(const std::wstring& key, const wchar_t* name);
std::wstring GetSz(const std::wstring& key, const wchar_t* name);
void FlushServiceKey();
// The debug file's registry switch, read wherever the plug-in makes its debug log.
void ReadDebugSwitch();
// The four recorded module paths, read before a deployment.
void ReadRecordedModulePaths();
void StampParameters();
void ConfigureFlags();
// Driver stopped, safety-net file looked for, status code and time stamp written.
void ResetSafetyNet();

// ---- the service (service_direct.cpp) -----------------------------------------------------------

// Looks for the service's instance mailslots, then stops the driver (if running) and waits for it
// without sleeping.
void StopService();
// The service's state, from a service manager opened for this query alone.
bool ServiceStopped();
bool StartService();
bool ServiceExists();
void DeleteTheService();
void RunInf(const wchar_t* section, const std::wstring& package);
// Every access-control entry of the service object, read and written back (restrict or relax).
void RewriteServiceDacl();

// ---- module files (deploy_direct.cpp) -----------------------------------------------------------

// The module chains, copies and their registry records for one package.
void DeployModules(const std::wstring& package);
void RemoveModuleFile(const std::wstring& path, int folders);

}  // namespace qelmo::bench::direct
