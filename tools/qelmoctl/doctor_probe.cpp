#include "doctor_probe.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/handles.h"
#include "deploy/version_text.h"

namespace qelmoctl::probe {

namespace {
namespace footprint = qelmo::footprint;
namespace names = qelmo::names;

// Query access only; the 64-bit view whatever the build of this program.
constexpr REGSAM kQueryAccess = KEY_QUERY_VALUE | KEY_WOW64_64KEY;

std::wstring StripTrailingSeparator(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}
}  // namespace

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

DWORD RegValue::Dword() const {
    DWORD value = 0;
    if (bytes.size() == 4) memcpy(&value, bytes.data(), 4);
    return value;
}

std::wstring RegValue::String() const {
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wchar_t unit = 0;
        memcpy(&unit, bytes.data() + i, 2);
        if (unit == L'\0') break;
        text += unit;
    }
    return text;
}

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

std::string ReadFailure(const RegValue& value) {
    if (value.error == ERROR_FILE_NOT_FOUND) return "missing";
    return "unreadable (error " + Dec(static_cast<DWORD>(value.error)) + ")";
}

Places FindPlaces() {
    Places p;
    wchar_t buffer[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
    p.windows = StripTrailingSeparator(n > 0 && n < MAX_PATH ? buffer : L"C:\\Windows");
    n = GetSystemDirectoryW(buffer, MAX_PATH);
    p.system32 = StripTrailingSeparator(n > 0 && n < MAX_PATH ? buffer : p.windows + L"\\system32");
    const std::wstring drivers = footprint::DriversFolder(p.windows);
    p.driversDir = StripTrailingSeparator(drivers);
    p.driverFile = drivers + footprint::DriverFileName(names::kServiceName);
    p.backupFile = drivers + footprint::BackupFileName(names::kServiceName);
    p.sysWow64 = footprint::SysWow64FolderOf(p.windows);
    p.moduleRoots[0] = footprint::ModuleRoot(p.system32);
    p.moduleRoots[1] = footprint::ModuleRoot(p.sysWow64);
    return p;
}

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

DWORD ReadVersionText(const std::wstring& path, std::wstring& text) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return GetLastError();
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return GetLastError();
    const std::vector<qelmo::TranslationText> texts = qelmo::FileVersionTexts(block.data());
    const qelmo::TranslationText* chosen = qelmo::ChosenVersionText(texts);
    if (!chosen) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    text = chosen->text;
    return 0;
}

std::wstring DeviceForm(const std::wstring& path) {
    if (path.size() < 3 || path[1] != L':') return std::wstring();
    wchar_t drive[3] = {path[0], L':', L'\0'};
    wchar_t target[MAX_PATH] = {};
    if (!QueryDosDeviceW(drive, target, MAX_PATH)) return std::wstring();
    return std::wstring(target) + path.substr(2);
}

std::vector<std::wstring> FilesBelow(const std::wstring& folder) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data = {};
    qelmo::FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return files;
    std::vector<std::wstring> subfolders;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(path);
        else if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            subfolders.push_back(path);
    } while (FindNextFileW(find.get(), &data));
    find.reset();
    for (const auto& subfolder : subfolders)
        for (auto& file : FilesBelow(subfolder))
            files.push_back(std::move(file));
    return files;
}

}  // namespace qelmoctl::probe
