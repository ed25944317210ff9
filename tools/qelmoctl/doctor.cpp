#include "doctor.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "common/debug_log.h"
#include "common/driver_names.h"
#include "common/handles.h"
#include "config/config_names.h"
#include "config/safety_net_name.h"
#include "deploy/deploy_names.h"
#include "pending_renames.h"
#include "text.h"

namespace qelmoctl {
namespace {

namespace names = qelmo::names;

// Query access only; the 64-bit view whatever the build of this program.
constexpr REGSAM kQueryAccess = KEY_QUERY_VALUE | KEY_WOW64_64KEY;

std::string Hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

std::string Dec(unsigned long long value) {
    return std::to_string(value);
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// True when `path` is `folder` or lies below it.
bool IsAtOrBelow(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() < folder.size()) return false;
    if (_wcsnicmp(path.c_str(), folder.c_str(), folder.size()) != 0) return false;
    return path.size() == folder.size() || path[folder.size()] == L'\\';
}

std::wstring ParentFolder(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring LastComponent(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool PathExists(const std::wstring& path) {
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---- registry -----------------------------------------------------------------------------------

struct RegValue {
    LONG error = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;  // exactly the stored bytes

    bool Exists() const { return error == ERROR_SUCCESS; }
    bool IsDword() const { return Exists() && type == REG_DWORD && bytes.size() == 4; }
    DWORD Dword() const {
        DWORD value = 0;
        if (bytes.size() == 4) memcpy(&value, bytes.data(), 4);
        return value;
    }
    bool IsString() const { return Exists() && (type == REG_SZ || type == REG_EXPAND_SZ); }
    // The stored units up to the first NUL, or all of them when none is stored.
    std::wstring String() const {
        std::wstring text;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            wchar_t unit = 0;
            memcpy(&unit, bytes.data() + i, 2);
            if (unit == L'\0') break;
            text += unit;
        }
        return text;
    }
};

bool KeyExists(const wchar_t* path) {
    qelmo::RegKeyHandle key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, kQueryAccess, key.put()) == ERROR_SUCCESS;
}

RegValue ReadValue(const wchar_t* path, const wchar_t* name) {
    RegValue value;
    qelmo::RegKeyHandle key;
    value.error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, kQueryAccess, key.put());
    if (value.error != ERROR_SUCCESS) return value;
    // The value may grow between asking for its size and reading it: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        value.error = RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size);
        if (value.error != ERROR_SUCCESS) return value;
        value.bytes.assign(size, 0);
        value.error = RegQueryValueExW(key.get(), name, nullptr, &value.type,
                                       size ? value.bytes.data() : nullptr, &size);
        if (value.error == ERROR_MORE_DATA) continue;
        if (value.error == ERROR_SUCCESS) value.bytes.resize(size);
        return value;
    }
    return value;
}

std::string TypeText(DWORD type) {
    switch (type) {
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return "type " + Dec(type);
    }
}

// "error 5" for failures other than "not there".
std::string ReadFailure(const RegValue& value) {
    if (value.error == ERROR_FILE_NOT_FOUND) return "missing";
    return "unreadable (error " + Dec(static_cast<DWORD>(value.error)) + ")";
}

// ---- places ---------------------------------------------------------------------------------

struct Places {
    std::wstring windows;         // C:\windows
    std::wstring system32;        // C:\windows\system32
    std::wstring driverFile;      // C:\windows\system32\drivers\qelmo.sys
    std::wstring backupFile;      // C:\windows\system32\drivers\qelmo_backup.sys
    std::wstring driversDir;      // C:\windows\system32\drivers
    std::wstring moduleRoots[2];  // <system32>\qelmo and <SysWOW64>\qelmo
};

std::wstring StripTrailingSeparator(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

Places FindPlaces() {
    Places p;
    wchar_t buffer[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
    p.windows = StripTrailingSeparator(n > 0 && n < MAX_PATH ? buffer : L"C:\\Windows");
    n = GetSystemDirectoryW(buffer, MAX_PATH);
    p.system32 = StripTrailingSeparator(n > 0 && n < MAX_PATH ? buffer : p.windows + L"\\system32");
    // The drivers folder: the Windows directory followed by system32\drivers\.
    const std::wstring drivers = p.windows + L"\\" + names::kDriversSubfolder;
    p.driversDir = StripTrailingSeparator(drivers);
    p.driverFile = drivers + names::kServiceName + names::kDriverFileSuffix;
    p.backupFile = drivers + names::kServiceName + names::kBackupFileSuffix;
    p.moduleRoots[0] = p.system32 + L"\\" + qelmo::deploy::kModuleRootFolder;
    p.moduleRoots[1] = p.windows + L"\\" + qelmo::deploy::kSysWow64Folder + L"\\" +
                       qelmo::deploy::kModuleRootFolder;
    return p;
}

// ---- service --------------------------------------------------------------------------------

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

ServiceView LookAtService() {
    ServiceView view;
    qelmo::ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        view.scmError = GetLastError();
        return view;
    }
    qelmo::ScHandle service(
        OpenServiceW(scm.get(), names::kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        view.openError = GetLastError();
        return view;
    }
    if (!QueryServiceStatus(service.get(), &view.status)) view.statusError = GetLastError();
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        view.type = config->dwServiceType;
        view.startType = config->dwStartType;
        if (config->lpBinaryPathName) view.imagePath = config->lpBinaryPathName;
    } else {
        view.configError = GetLastError();
    }
    return view;
}

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        case SERVICE_CONTINUE_PENDING:
            return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING:
            return "PAUSE_PENDING";
        case SERVICE_PAUSED:
            return "PAUSED";
        default:
            return "UNKNOWN";
    }
}

const char* StartTypeName(DWORD start) {
    switch (start) {
        case SERVICE_BOOT_START:
            return "boot";
        case SERVICE_SYSTEM_START:
            return "system";
        case SERVICE_AUTO_START:
            return "auto";
        case SERVICE_DEMAND_START:
            return "demand";
        case SERVICE_DISABLED:
            return "disabled";
        default:
            return "unknown";
    }
}

// The file an ImagePath names, in the forms a driver's ImagePath takes: absolute,
// \SystemRoot\..., \??\C:\..., %SystemRoot%\..., or relative to the Windows directory.
std::wstring ResolveImagePath(std::wstring image, const std::wstring& windows) {
    if (image.size() >= 2 && image.front() == L'"' && image.back() == L'"')
        image = image.substr(1, image.size() - 2);
    wchar_t expanded[MAX_PATH * 2] = {};
    DWORD n = ExpandEnvironmentStringsW(image.c_str(), expanded, MAX_PATH * 2);
    if (n > 0 && n <= MAX_PATH * 2) image = expanded;
    static const std::wstring kSystemRoot = L"\\SystemRoot\\";
    if (image.compare(0, 4, L"\\??\\") == 0) return image.substr(4);
    if (image.size() >= kSystemRoot.size() &&
        _wcsnicmp(image.c_str(), kSystemRoot.c_str(), kSystemRoot.size()) == 0)
        return windows + L"\\" + image.substr(kSystemRoot.size());
    const bool absolute =
        (image.size() >= 3 && image[1] == L':' && (image[2] == L'\\' || image[2] == L'/')) ||
        image.compare(0, 2, L"\\\\") == 0;
    return absolute ? image : windows + L"\\" + image;
}

void CheckService(const ServiceView& view, bool keyExists, const Places& places, Findings& out) {
    if (view.scmError) {
        out.Problem("service",
                    "cannot open the service manager (error " + Dec(view.scmError) + ")");
        return;
    }
    if (view.openError == ERROR_SERVICE_DOES_NOT_EXIST) {
        if (keyExists)
            out.Problem("service",
                        "not known to the service manager, but its registry key exists (left "
                        "behind, or deleted and waiting for the restart)");
        else
            out.Info("service", "not installed");
        return;
    }
    if (view.openError == ERROR_SERVICE_MARKED_FOR_DELETE) {
        out.Problem("service", "marked for deletion (error 1072): it goes away at the restart");
        return;
    }
    if (view.openError) {
        out.Problem("service", "cannot open the service (error " + Dec(view.openError) + ")");
        return;
    }

    if (view.statusError) {
        out.Problem("service", "cannot query its state (error " + Dec(view.statusError) + ")");
    } else {
        const SERVICE_STATUS& s = view.status;
        std::string detail = StateName(s.dwCurrentState);
        if (s.dwCurrentState == SERVICE_STOPPED)
            detail += " (exit code " + Dec(s.dwWin32ExitCode) + ")";
        const bool pending = s.dwCurrentState == SERVICE_START_PENDING ||
                             s.dwCurrentState == SERVICE_STOP_PENDING ||
                             s.dwCurrentState == SERVICE_CONTINUE_PENDING ||
                             s.dwCurrentState == SERVICE_PAUSE_PENDING;
        // 1077: never started since the service manager came up; 0: stopped normally.
        const bool failedExit = s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode != 0 &&
                                s.dwWin32ExitCode != ERROR_SERVICE_NEVER_STARTED;
        if (pending)
            out.Problem("service", detail + ": stuck between states");
        else if (failedExit)
            out.Problem("service", detail + ": its last run ended with an error");
        else
            out.Ok("service", detail);
    }

    if (view.configError) {
        out.Problem("service.type",
                    "cannot query its configuration (error " + Dec(view.configError) + ")");
        return;
    }
    std::string typeDetail =
        std::string(view.type == SERVICE_KERNEL_DRIVER ? "kernel driver" : "not a kernel driver") +
        " (type " + Dec(view.type) + "), start " + StartTypeName(view.startType) + " (" +
        Dec(view.startType) + ")";
    if (view.type != SERVICE_KERNEL_DRIVER)
        out.Problem("service.type", typeDetail);
    else if (view.startType == SERVICE_DISABLED)
        out.Problem("service.type", typeDetail + ": the driver cannot be started");
    else
        out.Ok("service.type", typeDetail);

    const std::wstring resolved = ResolveImagePath(view.imagePath, places.windows);
    std::string imageDetail = Narrow(view.imagePath);
    if (!SameText(resolved, view.imagePath)) imageDetail += " (" + Narrow(resolved) + ")";
    if (view.imagePath.empty())
        out.Problem("service.image_path", "empty");
    else if (!SameText(resolved, places.driverFile))
        out.Problem("service.image_path", imageDetail + ": not the drivers folder's " +
                                              Narrow(names::kServiceName) + ".sys");
    else
        out.Ok("service.image_path", imageDetail);
}

void CheckDeleteMark(const ServiceView& view, bool keyExists, Findings& out) {
    if (!keyExists) return;
    const RegValue flag = ReadValue(names::kServiceKey, names::kDeleteFlag);
    if (flag.Exists() && flag.Dword() != 0) {
        out.Problem("service.delete_mark",
                    "DeleteFlag = " + Dec(flag.Dword()) +
                        ": the service is marked for deletion at the next restart (an update "
                        "reinstalls it from the INF file)");
    } else if (view.openError == ERROR_SERVICE_MARKED_FOR_DELETE) {
        // Reported with the service already.
    } else {
        out.Ok("service.delete_mark", flag.Exists() ? "DeleteFlag = 0" : "not marked for deletion");
    }
}

// ---- driver file ----------------------------------------------------------------------------

// Fixed file version; 0 on success, else the error of the version API.
DWORD ReadFileVersion(const std::wstring& path, DWORD version[4]) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return GetLastError();
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return GetLastError();
    VS_FIXEDFILEINFO* info = nullptr;
    UINT bytes = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &bytes) || !info ||
        bytes < sizeof(VS_FIXEDFILEINFO))
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    version[0] = HIWORD(info->dwFileVersionMS);
    version[1] = LOWORD(info->dwFileVersionMS);
    version[2] = HIWORD(info->dwFileVersionLS);
    version[3] = LOWORD(info->dwFileVersionLS);
    return 0;
}

void CheckDriverFile(const Places& places, bool installed, Findings& out) {
    const std::string path = Narrow(places.driverFile);
    if (!PathExists(places.driverFile)) {
        if (installed)
            out.Problem("driver.file", path + " missing: the service cannot start");
        else
            out.Info("driver.file", path + " absent");
    } else {
        DWORD v[4] = {};
        DWORD error = ReadFileVersion(places.driverFile, v);
        if (error) {
            out.Problem("driver.file", path + " has no readable version (error " + Dec(error) +
                                           "); the status reports 1.0");
        } else {
            // The status record shows major.minor.revision (the third number is left out).
            char text[96];
            snprintf(text, sizeof text, "version %lu.%lu.%lu.%lu (status shows %lu.%lu.%lu)",
                     static_cast<unsigned long>(v[0]), static_cast<unsigned long>(v[1]),
                     static_cast<unsigned long>(v[2]), static_cast<unsigned long>(v[3]),
                     static_cast<unsigned long>(v[0]), static_cast<unsigned long>(v[1]),
                     static_cast<unsigned long>(v[3]));
            if (installed)
                out.Ok("driver.file", path + " " + text);
            else
                out.Problem("driver.file",
                            path + " " + text + ": left behind, the service is not installed");
        }
    }
    if (PathExists(places.backupFile))
        out.Problem("driver.backup",
                    Narrow(places.backupFile) + " left over from an interrupted update");
    else
        out.Ok("driver.backup", "no " + Narrow(places.backupFile));
}

// ---- service key values ---------------------------------------------------------------------

void CheckServiceKeyValues(Findings& out) {
    const RegValue perm = ReadValue(names::kServiceKey, names::kPermCount);
    if (!perm.Exists()) {
        out.Info("registry.PermCount",
                 ReadFailure(perm) + " (counts as 0: an uninstall removes the driver)");
    } else if (!perm.IsDword()) {
        out.Problem("registry.PermCount", "stored as " + TypeText(perm.type) + ", not REG_DWORD");
    } else if (perm.Dword() == 1) {
        out.Ok("registry.PermCount", "1");
    } else if (perm.Dword() == 0) {
        out.Info("registry.PermCount", "0 (an uninstall removes the driver)");
    } else {
        out.Info("registry.PermCount", Dec(perm.Dword()) +
                                           " installations hold the driver (an "
                                           "uninstall only counts down)");
    }

    const RegValue cfg = ReadValue(names::kServiceKey, names::kRegCfgFlags);
    if (!cfg.Exists()) {
        out.Info("registry.RegCfgFlags",
                 ReadFailure(cfg) + " (the next install or update writes it)");
    } else if (!cfg.IsDword()) {
        out.Problem("registry.RegCfgFlags", "stored as " + TypeText(cfg.type) + ", not REG_DWORD");
    } else if (cfg.Dword() & 1u) {
        out.Problem("registry.RegCfgFlags",
                    Hex(cfg.Dword()) +
                        ": bit 0 is set, it should be clear (the next install or "
                        "update clears it)");
    } else {
        out.Ok("registry.RegCfgFlags", Hex(cfg.Dword()));
    }

    const RegValue zrk = ReadValue(names::kServiceKey, names::kZrkFlags);
    if (!zrk.Exists()) {
        out.Info("registry.ZrkFlags", ReadFailure(zrk) + " (an update starts the new driver)");
    } else if (!zrk.IsDword()) {
        out.Problem("registry.ZrkFlags", "stored as " + TypeText(zrk.type) + ", not REG_DWORD");
    } else if (zrk.Dword() & 1u) {
        out.Info("registry.ZrkFlags",
                 Hex(zrk.Dword()) + ": bit 0 is set, an update leaves the new driver stopped");
    } else {
        out.Ok("registry.ZrkFlags", Hex(zrk.Dword()));
    }
}

// ---- deployed modules -----------------------------------------------------------------------

// The NT device form of a path: the target of its drive (QueryDosDeviceW) and the rest.
std::wstring DeviceForm(const std::wstring& path) {
    if (path.size() < 3 || path[1] != L':') return std::wstring();
    wchar_t drive[3] = {path[0], L':', L'\0'};
    wchar_t target[MAX_PATH] = {};
    if (!QueryDosDeviceW(drive, target, MAX_PATH)) return std::wstring();
    return std::wstring(target) + path.substr(2);
}

struct ModuleRecord {
    const wchar_t* key;
    const wchar_t* pathValue;
    const wchar_t* devValue;
    const wchar_t* versionValue;  // null: the version is only the folder name
    const char* label;            // check name stem
};

// The module paths the current installation recorded (the ones that exist in the registry).
std::vector<std::wstring> CheckModules(Findings& out) {
    const ModuleRecord records[] = {
        {names::kServiceKey, names::kMonDll64Name, names::kMonDll64NameDev, nullptr, ""},
        {names::kServiceKey, names::kMonDllName, names::kMonDllNameDev, nullptr, ""},
        {names::kAddOnEvt64Key, names::kAddOnPath, names::kAddOnDevPath, names::kAddOnVersion,
         "AddOn.KipEvt64."},
        {names::kAddOnEvtKey, names::kAddOnPath, names::kAddOnDevPath, names::kAddOnVersion,
         "AddOn.KipEvt."},
    };
    std::vector<std::wstring> recorded;
    for (const auto& r : records) {
        const std::string stem = std::string("module.") + r.label;
        const std::string pathCheck = stem + Narrow(r.pathValue);
        const RegValue pathValue = ReadValue(r.key, r.pathValue);
        std::wstring path;
        if (!pathValue.IsString()) {
            out.Problem(pathCheck, pathValue.Exists()
                                       ? "stored as " + TypeText(pathValue.type) + ", not REG_SZ"
                                       : "not recorded (" + ReadFailure(pathValue) + ")");
        } else if ((path = pathValue.String()).empty()) {
            out.Problem(pathCheck, "recorded empty");
        } else {
            recorded.push_back(path);
            if (PathExists(path))
                out.Ok(pathCheck, Narrow(path));
            else
                out.Problem(pathCheck, Narrow(path) + ": file missing");
        }

        const std::string devCheck = stem + Narrow(r.devValue);
        const RegValue devValue = ReadValue(r.key, r.devValue);
        if (!devValue.IsString()) {
            out.Problem(devCheck, devValue.Exists()
                                      ? "stored as " + TypeText(devValue.type) + ", not REG_SZ"
                                      : "not recorded (" + ReadFailure(devValue) + ")");
        } else {
            const std::wstring dev = devValue.String();
            const std::wstring expected = path.empty() ? std::wstring() : DeviceForm(path);
            if (dev.empty())
                out.Problem(devCheck, "recorded empty");
            else if (!expected.empty() && !SameText(dev, expected))
                out.Problem(devCheck, Narrow(dev) + ": does not name " + Narrow(path) + " (" +
                                          Narrow(expected) + ")");
            else
                out.Ok(devCheck, Narrow(dev));
        }

        if (!r.versionValue) continue;
        const std::string versionCheck = stem + Narrow(r.versionValue);
        const RegValue versionValue = ReadValue(r.key, r.versionValue);
        if (!versionValue.IsString()) {
            out.Problem(versionCheck,
                        versionValue.Exists()
                            ? "stored as " + TypeText(versionValue.type) + ", not REG_SZ"
                            : "not recorded (" + ReadFailure(versionValue) + ")");
        } else {
            // The version text names the folder the file was placed in.
            const std::wstring version = versionValue.String();
            const std::wstring folder = LastComponent(ParentFolder(path));
            if (version.empty())
                out.Problem(versionCheck, "recorded empty");
            else if (!path.empty() && !SameText(version, folder))
                out.Problem(versionCheck,
                            Narrow(version) + ": but the file lies in folder " + Narrow(folder));
            else
                out.Ok(versionCheck, Narrow(version));
        }
    }
    return recorded;
}

// ---- restart-time file operations -----------------------------------------------------------

std::vector<PendingRename> ReadPendingRenames(Findings& out) {
    const RegValue value = ReadValue(kSessionManagerKey, kPendingRenamesValue);
    if (!value.Exists()) {
        if (value.error != ERROR_FILE_NOT_FOUND)
            out.Problem("restart.pending", "cannot read " + Narrow(kPendingRenamesValue) + " (" +
                                               ReadFailure(value) + ")");
        return {};
    }
    return ParsePendingRenames(value.bytes.data(), value.bytes.size());
}

bool ConcernsDriver(const std::wstring& path, const Places& places) {
    if (path.empty()) return false;
    for (const auto& root : places.moduleRoots)
        if (IsAtOrBelow(path, root)) return true;
    if (!SameText(ParentFolder(path), places.driversDir)) return false;
    const std::wstring name = LastComponent(path);
    const std::wstring service = names::kServiceName;
    return name.size() >= service.size() &&
           _wcsnicmp(name.c_str(), service.c_str(), service.size()) == 0;
}

void CheckPendingRenames(const std::vector<PendingRename>& pending, const Places& places,
                         bool installed, const std::vector<std::wstring>& recorded, Findings& out) {
    // Files the current installation lives on.
    std::vector<std::wstring> live = recorded;
    if (installed) live.push_back(places.driverFile);
    auto isLive = [&](const std::wstring& path) {
        for (const auto& f : live)
            if (SameText(path, f)) return true;
        return false;
    };
    auto holdsLive = [&](const std::wstring& folder) {
        for (const auto& f : live)
            if (f.size() > folder.size() && IsAtOrBelow(f, folder)) return true;
        return false;
    };

    int relevant = 0;
    for (const auto& op : pending) {
        if (!ConcernsDriver(op.source, places) && !ConcernsDriver(op.target, places)) continue;
        ++relevant;
        if (op.incomplete) {
            out.Problem("restart.pending",
                        "entry for " + Narrow(op.source) + " has no target (the value is cut off)");
        } else if (op.IsDelete()) {
            const std::string what = "delete " + Narrow(op.source);
            if (isLive(op.source))
                out.Problem("restart.pending",
                            what + ": the current installation uses it, the restart removes it");
            else if (holdsLive(op.source))
                out.Info("restart.pending", what + " (kept while it holds the current modules)");
            else
                out.Info("restart.pending", what);
        } else {
            const std::string what = std::string(op.replace ? "replace " : "rename ") +
                                     Narrow(op.source) + " -> " + Narrow(op.target);
            if (isLive(op.source) || isLive(op.target))
                out.Problem("restart.pending",
                            what + ": the current installation uses it, the restart changes it");
            else
                out.Info("restart.pending", what);
        }
    }
    if (relevant == 0)
        out.Ok("restart.pending", "no file operation at restart concerns the driver");
}

// Module folders of an installation that is gone.
void CheckLeftoverModuleFolders(const Places& places, const std::vector<PendingRename>& pending,
                                Findings& out) {
    for (const auto& root : places.moduleRoots) {
        if (!PathExists(root)) continue;
        bool scheduled = false;
        for (const auto& op : pending)
            if (op.IsDelete() && SameText(op.source, root)) scheduled = true;
        if (scheduled)
            out.Info("module.folder", Narrow(root) + " left behind, removed at the restart");
        else
            out.Problem("module.folder",
                        Narrow(root) + " left behind: the service is not installed");
    }
}

// ---- safety net and Parameters --------------------------------------------------------------

// The safety-net file: <system drive>\Windows\System32\<MD5 of LastLeaveTime>.dat, the MD5 taken
// over the UTF-16LE units of the text; a fixed stem when LastLeaveTime is no REG_SZ.
std::wstring SafetyNetFilePath(const Places& places, const RegValue& lastLeave, bool* fixedStem) {
    *fixedStem = !(lastLeave.Exists() && lastLeave.type == REG_SZ);
    const std::wstring text = lastLeave.String();
    return qelmo::SafetyNetFilePathFor(places.system32.substr(0, 2), *fixedStem ? nullptr : &text);
}

bool IsTimeStamp(const std::wstring& text) {
    // yyyy-mm-dd hh:mm:ss
    static const wchar_t kPattern[] = L"dddd-dd-dd dd:dd:dd";
    if (text.size() != 19) return false;
    for (size_t i = 0; i < 19; ++i) {
        if (kPattern[i] == L'd' ? !iswdigit(text[i]) : text[i] != kPattern[i]) return false;
    }
    return true;
}

void CheckSafetyNetAndParameters(const Places& places, bool keyExists, Findings& out) {
    const RegValue lastLeave = ReadValue(names::kParametersKey, names::kLastLeaveTime);
    bool fixedStem = false;
    const std::wstring netFile = SafetyNetFilePath(places, lastLeave, &fixedStem);
    std::string netDetail = Narrow(netFile);
    if (fixedStem)
        netDetail += lastLeave.Exists() ? " (fixed name: LastLeaveTime is " +
                                              TypeText(lastLeave.type) + ", not REG_SZ)"
                                        : " (fixed name: no LastLeaveTime)";
    if (PathExists(netFile))
        out.Info("safety_net", netDetail + " present (the next update or uninstall deletes it)");
    else
        out.Ok("safety_net", netDetail + " absent");

    if (!keyExists) return;
    if (!KeyExists(names::kParametersKey)) {
        out.Problem("parameters", "the Parameters key is missing");
        return;
    }
    struct Default {
        const wchar_t* name;
        DWORD value;
    } defaults[] = {{names::kGGCT, qelmo::config::kDefaultGGCT},
                    {names::kGGCS, qelmo::config::kDefaultGGCS},
                    {names::kALSN, qelmo::config::kDefaultALSN},
                    {names::kStatusCode, qelmo::config::kStatusCodeReset}};
    for (const auto& d : defaults) {
        const std::string check = "parameters." + Narrow(d.name);
        const RegValue v = ReadValue(names::kParametersKey, d.name);
        if (!v.Exists())
            out.Problem(check, ReadFailure(v) + " (default " + Dec(d.value) + ")");
        else if (!v.IsDword())
            out.Problem(check, "stored as " + TypeText(v.type) + ", not REG_DWORD");
        else if (v.Dword() != d.value)
            out.Info(check, Dec(v.Dword()) + " (default " + Dec(d.value) + ")");
        else
            out.Ok(check, Dec(v.Dword()));
    }

    const std::string check = "parameters." + Narrow(names::kLastLeaveTime);
    if (!lastLeave.Exists()) {
        out.Problem(check, ReadFailure(lastLeave));
        return;
    }
    if (lastLeave.type != REG_SZ) {
        out.Problem(check, "stored as " + TypeText(lastLeave.type) + ", not REG_SZ");
        return;
    }
    const std::wstring text = lastLeave.String();
    const std::string shown = "\"" + Narrow(text) + "\"";
    // Stored without its NUL: exactly two bytes per character.
    if (lastLeave.bytes.size() != text.size() * 2)
        out.Problem(check, shown + " stored in " + Dec(lastLeave.bytes.size()) + " bytes (" +
                               Dec(text.size() * 2) + " expected: no terminating NUL)");
    else if (text == qelmo::config::kLastLeaveUndefined)
        out.Info(check, shown + " (never stamped)");
    else if (!IsTimeStamp(text))
        out.Problem(check, shown + " is not a yyyy-mm-dd hh:mm:ss time stamp");
    else
        out.Ok(check, shown);
}

void CheckDebugSwitch(Findings& out) {
    namespace dl = qelmo::debuglog;
    const std::string check = "debug." + Narrow(dl::kSwitchValue);
    const RegValue v = ReadValue(dl::kSwitchKey, dl::kSwitchValue);
    if (!v.Exists())
        out.Info(check, "off (" + ReadFailure(v) + ")");
    else if (!v.IsDword())
        out.Info(check, "off (stored as " + TypeText(v.type) +
                            "; only a non-zero REG_DWORD switches it on)");
    else if (v.Dword() == 0)
        out.Info(check, "off (0)");
    else
        out.Info(check, "on (" + Hex(v.Dword()) + "): the plug-in writes " + Narrow(dl::kFileName) +
                            " beside the host executable");
}

}  // namespace

Findings RunDoctorChecks() {
    Findings out;
    const Places places = FindPlaces();
    const bool keyExists = KeyExists(names::kServiceKey);
    const ServiceView service = LookAtService();
    const bool installed = service.Known();

    CheckService(service, keyExists, places, out);
    CheckDeleteMark(service, keyExists, out);
    CheckDriverFile(places, installed, out);

    const std::vector<PendingRename> pending = ReadPendingRenames(out);
    std::vector<std::wstring> recorded;
    if (keyExists) {
        CheckServiceKeyValues(out);
        recorded = CheckModules(out);
    } else {
        const std::string detail = "no service key " + Narrow(names::kServiceKey);
        if (installed)
            out.Problem("registry", detail + ", but the service manager knows the service");
        else
            out.Info("registry", detail);
        CheckLeftoverModuleFolders(places, pending, out);
    }
    CheckPendingRenames(pending, places, installed, recorded, out);
    CheckSafetyNetAndParameters(places, keyExists, out);
    CheckDebugSwitch(out);
    return out;
}

}  // namespace qelmoctl
