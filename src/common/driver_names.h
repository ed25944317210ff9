// Names of the driver service and of its registry home, shared by every subsystem.
#pragma once

#include <windows.h>

namespace qelmo::names {

// The driver service. Per-service steps walk this list (it has one entry).
inline constexpr const wchar_t* kServiceName = L"qelmo";
inline constexpr const wchar_t* kServiceNames[] = {kServiceName};

// Owner module id of the plug-in, as a folder name of the deployed modules.
inline constexpr const wchar_t* kOwnerModuleFolder = L"20019";

// Service key under HKEY_LOCAL_MACHINE and its sub-keys.
inline constexpr const wchar_t* kServicesRoot = L"SYSTEM\\CurrentControlSet\\Services\\";
inline constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo";
inline constexpr const wchar_t* kParametersSubkey = L"Parameters";
inline constexpr const wchar_t* kParametersKey =
    L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\Parameters";
inline constexpr const wchar_t* kAddOnSubkey = L"AddOn";
inline constexpr const wchar_t* kAddOnKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn";
inline constexpr const wchar_t* kAddOnEvt64Subkey = L"KipEvt64";
inline constexpr const wchar_t* kAddOnEvtSubkey = L"KipEvt";
inline constexpr const wchar_t* kAddOnEvt64Key =
    L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn\\KipEvt64";
inline constexpr const wchar_t* kAddOnEvtKey =
    L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn\\KipEvt";

// Values of the service key.
inline constexpr const wchar_t* kPermCount = L"PermCount";
inline constexpr const wchar_t* kDeleteFlag = L"DeleteFlag";
inline constexpr const wchar_t* kRegCfgFlags = L"RegCfgFlags";
inline constexpr const wchar_t* kSystemDiskName = L"QELMOSystemDiskName";
inline constexpr const wchar_t* kGHSwitch = L"GHSwitch";
inline constexpr const wchar_t* kZrkFlags = L"ZrkFlags";
inline constexpr const wchar_t* kMonDllName = L"QELMOMonDllName";
inline constexpr const wchar_t* kMonDll64Name = L"QELMOMonDll64Name";
inline constexpr const wchar_t* kMonDllNameDev = L"QELMOMonDllNameDev";
inline constexpr const wchar_t* kMonDll64NameDev = L"QELMOMonDll64NameDev";

// Values of the add-on keys.
inline constexpr const wchar_t* kAddOnPath = L"path";
inline constexpr const wchar_t* kAddOnDevPath = L"devpath";
inline constexpr const wchar_t* kAddOnVersion = L"version";

// Values of the Parameters key.
inline constexpr const wchar_t* kGGCT = L"GGCT";
inline constexpr const wchar_t* kGGCS = L"GGCS";
inline constexpr const wchar_t* kALSN = L"ALSN";
inline constexpr const wchar_t* kStatusCode = L"StatusCode";
inline constexpr const wchar_t* kLastLeaveTime = L"LastLeaveTime";

// Fixed buffer sizes of the contract (UTF-16 units).
inline constexpr size_t kFolderUnits = MAX_PATH;  // driver folder, file paths
inline constexpr size_t kInfPathUnits = 1024;     // INF paths

}  // namespace qelmo::names
