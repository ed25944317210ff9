// What `qelmoctl doctor` reads from the machine, read-only: registry values in the 64-bit view, the
// service's status and configuration, file versions, and the places of the footprint model.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qelmoctl::probe {

std::string Hex(DWORD value);
std::string Dec(unsigned long long value);
bool SameText(const std::wstring& a, const std::wstring& b);
// True when `path` is `folder` or lies below it.
bool IsAtOrBelow(const std::wstring& path, const std::wstring& folder);
std::wstring ParentFolder(const std::wstring& path);
std::wstring LastComponent(const std::wstring& path);
bool PathExists(const std::wstring& path);

struct RegValue {
    LONG error = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;  // exactly the stored bytes

    bool Exists() const { return error == ERROR_SUCCESS; }
    bool IsDword() const { return Exists() && type == REG_DWORD && bytes.size() == 4; }
    DWORD Dword() const;
    bool IsString() const { return Exists() && (type == REG_SZ || type == REG_EXPAND_SZ); }
    // The stored units up to the first NUL, or all of them when none is stored.
    std::wstring String() const;
};

bool KeyExists(const wchar_t* path);
RegValue ReadValue(const wchar_t* path, const wchar_t* name);
std::string TypeText(DWORD type);
// "missing", or "unreadable (error N)" for failures other than "not there".
std::string ReadFailure(const RegValue& value);

// Where the footprint lies on this machine.
struct Places {
    std::wstring windows;         // C:\windows
    std::wstring system32;        // C:\windows\system32
    std::wstring sysWow64;        // C:\windows\SysWOW64
    std::wstring driverFile;      // C:\windows\system32\drivers\qelmo.sys
    std::wstring backupFile;      // C:\windows\system32\drivers\qelmo_backup.sys
    std::wstring driversDir;      // C:\windows\system32\drivers
    std::wstring moduleRoots[2];  // <system32>\qelmo and <SysWOW64>\qelmo
};
Places FindPlaces();

struct ServiceView {
    DWORD scmError = 0;     // 0: the service manager was opened
    DWORD openError = 0;    // 0: the service was opened
    DWORD statusError = 0;  // 0: status read
    DWORD configError = 0;  // 0: configuration read
    SERVICE_STATUS status{};
    DWORD type = 0;
    DWORD startType = 0;
    std::wstring imagePath;

    bool Known() const { return scmError == 0 && openError == 0; }
};
ServiceView LookAtService();
const char* StateName(DWORD state);
const char* StartTypeName(DWORD start);
// The file an ImagePath names, in the forms a driver's ImagePath takes: absolute,
// \SystemRoot\..., \??\C:\..., %SystemRoot%\..., or relative to the Windows directory.
std::wstring ResolveImagePath(std::wstring image, const std::wstring& windows);

// Fixed file version; 0 on success, else the error of the version API.
DWORD ReadFileVersion(const std::wstring& path, DWORD version[4]);
// The version text of the file's string table, chosen as the deployment chooses the one it names
// a module's folder by (deploy/version_text.h); 0 on success, else why not.
DWORD ReadVersionText(const std::wstring& path, std::wstring& text);
// The NT device form of a path: the target of its drive (QueryDosDeviceW) and the rest.
std::wstring DeviceForm(const std::wstring& path);
// Every file below `folder`, at any depth.
std::vector<std::wstring> FilesBelow(const std::wstring& folder);

}  // namespace qelmoctl::probe
