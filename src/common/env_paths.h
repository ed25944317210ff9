// Facilities set up while the plug-in loads and released when it unloads: the catalog-signature
// functions of wintrust.dll (bound from the system directory only) and the environment-path table
// that maps %TOKEN% names to their values on this machine.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qelmo {

namespace envpaths {
inline constexpr const wchar_t* kOxalKey = L"SOFTWARE\\Vantor\\OXAL";
inline constexpr const wchar_t* kInstallDirValue = L"InstallDir";
inline constexpr const wchar_t* kHostExecutable = L"oxalHost.exe";
inline constexpr size_t kTableEntries = 30;
}  // namespace envpaths

// Loads a library without searching the current directory or the application folder: a name
// with a path separator is loaded as that path; a bare name only from the system directory.
HMODULE LoadSystemLibrary(const wchar_t* name);
// SHGetFolderPathW for a CSIDL; empty when the lookup fails.
std::wstring GetSpecialFolderPath(int csidl);
// InstallDir under HKLM\SOFTWARE\Vantor\OXAL, else the folder of the host executable when it is
// oxalHost.exe (with its trailing backslash), else empty.
std::wstring GetOxalInstallPath();
// The fallback step alone, for a given host executable path.
std::wstring OxalInstallPathFromHost(const std::wstring& hostPath);

struct CatalogFunctions {
    HMODULE wintrust = nullptr;
    FARPROC enumCatalogFromHash = nullptr;
    FARPROC catalogInfoFromContext = nullptr;
    FARPROC releaseCatalogContext = nullptr;
    FARPROC releaseContext = nullptr;
    FARPROC calcHashFromFileHandle2 = nullptr;
    FARPROC acquireContext2 = nullptr;
    FARPROC calcHashFromFileHandle = nullptr;
    FARPROC acquireContext = nullptr;
    bool secondGeneration = false;  // the two "...2" functions are present
    bool usable = false;
};

// Built once at load.
const CatalogFunctions& Catalog();
const std::vector<std::pair<std::wstring, std::wstring>>& EnvironmentPathTable();
const std::map<std::wstring, std::wstring>& EnvironmentPathMap();

}  // namespace qelmo
