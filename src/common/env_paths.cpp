#include "common/env_paths.h"

#include <shlobj.h>

#include "common/log.h"
#include "common/registry_key.h"

namespace qelmo {

namespace {

#define ENV_LOG(level, ...) QLOG(logid::kCatUtil, logid::kSrcEnvironmentVar, level, __VA_ARGS__)

constexpr DWORD kLoadWithAlteredSearchPath = 0x8;    // LOAD_WITH_ALTERED_SEARCH_PATH
constexpr DWORD kLoadLibrarySearchSystem32 = 0x800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

using LoadLibraryExFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);

template <typename F>
F ProcAs(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HMODULE LoadPath(LoadLibraryExFn loadEx, const wchar_t* path) {
    return loadEx ? loadEx(path, nullptr, kLoadWithAlteredSearchPath) : LoadLibraryW(path);
}

// Tokens expanded from the environment (entries 2 to 24 of the table).
constexpr const wchar_t* kEnvironmentTokens[] = {L"%ALLUSERSPROFILE%",
                                                 L"%APPDATA%",
                                                 L"%COMPUTERNAME%",
                                                 L"%COMSPEC%",
                                                 L"%HOMEDRIVE%",
                                                 L"%HOMEPATH%",
                                                 L"%PATH%",
                                                 L"%PATHEXT%",
                                                 L"%PROGRAMFILES%",
                                                 L"%PROMPT%",
                                                 L"%SYSTEMDRIVE%",
                                                 L"%SYSTEMROOT%",
                                                 L"%TEMP%",
                                                 L"%TMP%",
                                                 L"%USERNAME%",
                                                 L"%USERPROFILE%",
                                                 L"%WINDIR%",
                                                 L"%PROCESSOR_ARCHITECTURE%",
                                                 L"%PROCESSOR_IDENTIFIER%",
                                                 L"%PROCESSOR_LEVEL%",
                                                 L"%PROCESSOR_REVISION%",
                                                 L"%NUMBER_OF_PROCESSORS%",
                                                 L"%OS%"};

std::wstring Expand(const wchar_t* token) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD n = ExpandEnvironmentStringsW(token, buffer, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return token;
    return buffer;
}

struct LoadTimeFacilities {
    CatalogFunctions catalog;
    std::vector<std::pair<std::wstring, std::wstring>> table;
    std::map<std::wstring, std::wstring> map;

    LoadTimeFacilities() {
        BindCatalog();
        FillTable();
        for (const auto& entry : table)
            map.insert(entry);
    }
    ~LoadTimeFacilities() { LibraryHandle release(catalog.wintrust); }
    LoadTimeFacilities(const LoadTimeFacilities&) = delete;
    LoadTimeFacilities& operator=(const LoadTimeFacilities&) = delete;

    void BindCatalog() {
        CatalogFunctions& c = catalog;
        c.wintrust = LoadSystemLibrary(L"wintrust.dll");
        if (!c.wintrust) return;
        c.enumCatalogFromHash = GetProcAddress(c.wintrust, "CryptCATAdminEnumCatalogFromHash");
        c.catalogInfoFromContext = GetProcAddress(c.wintrust, "CryptCATCatalogInfoFromContext");
        c.releaseCatalogContext = GetProcAddress(c.wintrust, "CryptCATAdminReleaseCatalogContext");
        c.releaseContext = GetProcAddress(c.wintrust, "CryptCATAdminReleaseContext");
        if (!c.enumCatalogFromHash || !c.catalogInfoFromContext || !c.releaseCatalogContext ||
            !c.releaseContext)
            return;
        c.calcHashFromFileHandle2 =
            GetProcAddress(c.wintrust, "CryptCATAdminCalcHashFromFileHandle2");
        c.acquireContext2 = GetProcAddress(c.wintrust, "CryptCATAdminAcquireContext2");
        if (c.calcHashFromFileHandle2 && c.acquireContext2) {
            c.secondGeneration = c.usable = true;
            return;
        }
        c.calcHashFromFileHandle =
            GetProcAddress(c.wintrust, "CryptCATAdminCalcHashFromFileHandle");
        c.acquireContext = GetProcAddress(c.wintrust, "CryptCATAdminAcquireContext");
        c.usable = c.calcHashFromFileHandle && c.acquireContext;
    }

    void FillTable() {
        table.reserve(envpaths::kTableEntries);
        table.emplace_back(L"%oxal_install_path%", GetOxalInstallPath());
        const std::wstring commonAppData = GetSpecialFolderPath(CSIDL_COMMON_APPDATA);
        for (const wchar_t* token : kEnvironmentTokens) {
            bool isAppData = wcscmp(token, L"%APPDATA%") == 0;
            table.emplace_back(token, isAppData ? commonAppData : Expand(token));
        }
        const std::wstring oxal = commonAppData + L"\\Vantor\\Oxal\\";
        table.emplace_back(L"%oxal_data_path%", oxal);
        table.emplace_back(L"%oxal_temp_path%", oxal + L"temp\\");
        table.emplace_back(L"%oxal_quarantine_path%", oxal + L"quarantine\\");
        table.emplace_back(L"%oxal_virus_path%", oxal + L"temp\\virus\\");
        table.emplace_back(L"%oxal_dre_path%", oxal + L"data\\10012\\");
        table.emplace_back(L"%oxal_vesta_path%", oxal + L"data\\10012\\");
    }
};

LoadTimeFacilities& Facilities() {
    static LoadTimeFacilities facilities;
    return facilities;
}

// Built while the module loads, not on first use.
const LoadTimeFacilities& g_loadTime = Facilities();

}  // namespace

HMODULE LoadSystemLibrary(const wchar_t* name) {
    if (!name || !*name) return nullptr;
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    if (!kernel32) return nullptr;
    auto loadEx = ProcAs<LoadLibraryExFn>(kernel32, "LoadLibraryExW");
    if (wcschr(name, L'\\') || wcschr(name, L'/')) return LoadPath(loadEx, name);
    if (loadEx && GetProcAddress(kernel32, "AddDllDirectory"))
        return loadEx(name, nullptr, kLoadLibrarySearchSystem32);
    UINT needed = GetSystemDirectoryW(nullptr, 0);
    if (needed == 0) return nullptr;
    std::wstring path(needed + 2 + wcslen(name), L'\0');
    UINT n = GetSystemDirectoryW(path.data(), needed);
    if (n == 0 || n >= needed) return nullptr;
    path.resize(n);
    path += L'\\';
    path += name;
    return LoadPath(loadEx, path.c_str());
}

std::wstring GetSpecialFolderPath(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return std::wstring();
    return buffer;
}

std::wstring OxalInstallPathFromHost(const std::wstring& hostPath) {
    const std::wstring name = envpaths::kHostExecutable;
    size_t at = hostPath.rfind(name);
    if (at == std::wstring::npos || at + name.size() != hostPath.size()) return std::wstring();
    if (at > 0 && hostPath[at - 1] != L'\\') return std::wstring();  // "myoxalHost.exe"
    return hostPath.substr(0, at);
}

std::wstring GetOxalInstallPath() {
    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, envpaths::kOxalKey, KEY_READ) != ERROR_SUCCESS) {
        ENV_LOG(logid::kError, L"regKey.Open() fail!\n", L"open  HKEY_LOCAL_MACHINE  fail!",
                L"key =", envpaths::kOxalKey);
    } else {
        std::wstring installDir;
        if (key.QueryStringValue(envpaths::kInstallDirValue, installDir) == ERROR_SUCCESS &&
            !installDir.empty())
            return installDir;
        ENV_LOG(logid::kError, L"regKey.QueryValue() fail!\n", L"key =", envpaths::kOxalKey,
                L",wstrItemName =", envpaths::kInstallDirValue);
    }
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(GetModuleHandleW(nullptr), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        ENV_LOG(logid::kError, L"Failed to call GetModuleFileName. GetLastError(): ",
                GetLastError());
        return std::wstring();
    }
    return OxalInstallPathFromHost(path);
}

const CatalogFunctions& Catalog() {
    return g_loadTime.catalog;
}
const std::vector<std::pair<std::wstring, std::wstring>>& EnvironmentPathTable() {
    return g_loadTime.table;
}
const std::map<std::wstring, std::wstring>& EnvironmentPathMap() {
    return g_loadTime.map;
}

}  // namespace qelmo
