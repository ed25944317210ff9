#include "support/machine.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <cwctype>

#include "common/handles.h"
#include "support/fixtures.h"
#include "support/log_capture.h"

namespace qelmo::test {
namespace {

using namespace layout;

// How long a service gets to leave a pending state, and to stop after STOP was accepted.
constexpr DWORD kPendingLimitMs = 15000;
constexpr DWORD kStopAcceptedLimitMs = 3000;
// How long the service manager gets to forget a deleted service.
constexpr DWORD kForgetLimitMs = 10000;
constexpr DWORD kPollMs = 50;
// How long a file in use gets to be released before the clean-up gives up on it.
constexpr DWORD kFileReleaseLimitMs = 3000;

std::wstring ErrorText(const std::wstring& what, DWORD error) {
    return what + L": error " + std::to_wstring(error);
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

// The file a service's ImagePath names, as a full path: quotes, arguments, "\??\" and
// "\SystemRoot\" resolved; a relative path is taken from the Windows folder.
std::wstring ImageFile(std::wstring image) {
    if (!image.empty() && image.front() == L'"') {
        size_t close = image.find(L'"', 1);
        image = image.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    if (image.rfind(L"\\??\\", 0) == 0) image = image.substr(4);
    const std::wstring systemRoot = L"\\SystemRoot\\";
    if (image.size() > systemRoot.size() &&
        EqualNoCase(image.substr(0, systemRoot.size()), systemRoot))
        image = WindowsDir() + L"\\" + image.substr(systemRoot.size());
    else if (image.size() < 2 || image[1] != L':')
        image = WindowsDir() + L"\\" + image;
    return image;
}

DWORD QueryState(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    status = {};
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed))
        return 0;
    return status.dwCurrentState;
}

// Asks the service to stop and waits. False when it stays up: STOP refused (1052, 1061), or
// accepted but the service goes on running (a driver without unload routine does that).
bool StopAndWait(SC_HANDLE service) {
    const DWORD start = GetTickCount();
    DWORD stopAcceptedAt = 0;
    bool stopAccepted = false;
    while (GetTickCount() - start < kPendingLimitMs) {
        SERVICE_STATUS_PROCESS status;
        DWORD state = QueryState(service, status);
        if (state == SERVICE_STOPPED) return true;
        if (state == 0) return false;
        if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
            if (!stopAccepted) {
                SERVICE_STATUS ignored = {};
                if (ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
                    stopAccepted = true;
                    stopAcceptedAt = GetTickCount();
                } else {
                    // 1052: STOP not accepted; 1061 while running: a STOP was taken earlier and
                    // the service never went away (a driver without unload routine).
                    return GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
                }
            } else if (GetTickCount() - stopAcceptedAt > kStopAcceptedLimitMs) {
                return false;
            }
        }
        Sleep(kPollMs);
    }
    return false;
}

// The .sys modules loaded in a process.
std::vector<std::wstring> DriverModules(DWORD pid) {
    std::vector<std::wstring> modules;
    FileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
    if (!snap) return modules;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Module32FirstW(snap.get(), &entry); ok; ok = Module32NextW(snap.get(), &entry))
        if (EndsWithNoCase(entry.szExePath, L".sys")) modules.push_back(entry.szExePath);
    return modules;
}

bool EndProcess(DWORD pid) {
    KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process) return false;
    if (!TerminateProcess(process.get(), 1)) return false;
    return WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
}

// The full path of a running process's program; empty when it cannot be read.
std::wstring ProcessImage(DWORD pid) {
    KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::wstring();
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (!QueryFullProcessImageNameW(process.get(), 0, path, &size)) return std::wstring();
    return std::wstring(path, size);
}

enum class Host { Ended, Gone, Kept };

// Ends the process that hosts a service which will not stop. A user-mode service has its own
// process: `pid` as first seen, or, when the service manager no longer tells it, every process
// running the service's program. (Under Wine a second STOP to a service that ignored the first
// fails with 1061, and services.exe lets the service process go: it exits, the status stays
// RUNNING with process id 0, and the service is removed as usual once deleted.)
// Wine loads a driver into a winedevice.exe process; that one is ended only when every driver
// loaded in it is this service's image, so Wine's own drivers are never touched.
Host EndHost(SC_HANDLE service, const std::wstring& name, DWORD pid, CleanReport& report) {
    if (pid == 0) {
        SERVICE_STATUS_PROCESS status;
        QueryState(service, status);
        pid = status.dwProcessId;
    }
    if (pid != 0) {
        if (EndProcess(pid)) return Host::Ended;
        report.problems.push_back(
            ErrorText(L"cannot end the process of service " + name, GetLastError()));
        return Host::Kept;
    }

    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed) ||
        !config->lpBinaryPathName) {
        report.problems.push_back(ErrorText(L"cannot read the image of " + name, GetLastError()));
        return Host::Kept;
    }
    const std::wstring image = ImageFile(config->lpBinaryPathName);
    const bool driver = (config->dwServiceType & SERVICE_DRIVER) != 0;

    FileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return Host::Kept;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    bool ended = false;
    for (BOOL ok = Process32FirstW(snap.get(), &entry); ok;
         ok = Process32NextW(snap.get(), &entry)) {
        if (!driver) {
            if (entry.th32ProcessID != GetCurrentProcessId() &&
                EqualNoCase(ProcessImage(entry.th32ProcessID), image))
                ended = EndProcess(entry.th32ProcessID) || ended;
            continue;
        }
        if (!EqualNoCase(entry.szExeFile, L"winedevice.exe")) continue;
        std::vector<std::wstring> modules = DriverModules(entry.th32ProcessID);
        bool hostsImage = false;
        bool hostsOthers = false;
        for (const auto& module : modules) {
            if (EqualNoCase(module, image))
                hostsImage = true;
            else
                hostsOthers = true;
        }
        if (!hostsImage) continue;
        if (hostsOthers) {
            report.problems.push_back(L"driver " + name + L" shares winedevice.exe (pid " +
                                      std::to_wstring(entry.th32ProcessID) +
                                      L") with other drivers; not ended");
            return Host::Kept;
        }
        if (EndProcess(entry.th32ProcessID)) return Host::Ended;
        report.problems.push_back(
            ErrorText(L"cannot end winedevice.exe hosting " + name, GetLastError()));
        return Host::Kept;
    }
    if (ended) return Host::Ended;
    if (!driver) return Host::Gone;
    report.problems.push_back(L"no process found that hosts " + image);
    return Host::Kept;
}

// Stops and deletes one service and waits until the service manager has forgotten it.
void RemoveService(SC_HANDLE scm, const std::wstring& name, CleanReport& report) {
    ScHandle service(OpenServiceW(scm, name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST)
            report.problems.push_back(ErrorText(L"OpenService " + name, error));
        return;
    }
    SERVICE_STATUS_PROCESS first;
    QueryState(service.get(), first);
    bool stopped = StopAndWait(service.get());
    if (!stopped) {
        Host host = EndHost(service.get(), name, first.dwProcessId, report);
        stopped = host != Host::Kept;
        if (host == Host::Ended) report.hostEnded = true;
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        report.problems.push_back(ErrorText(L"DeleteService " + name, GetLastError()));
    service.reset();

    const DWORD start = GetTickCount();
    while (true) {
        ScHandle again(OpenServiceW(scm, name.c_str(), SERVICE_QUERY_STATUS));
        if (!again && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return;
        if (GetTickCount() - start > kForgetLimitMs) break;
        again.reset();
        Sleep(kPollMs);
    }
    if (!stopped) report.serviceStuck = true;
    report.problems.push_back(L"service " + name +
                              (stopped ? L" is still registered (a handle to it is still open?)"
                                       : L" cannot be stopped and stays until the session ends"));
}

void DeleteKeyTree(const std::wstring& path, CleanReport& report) {
    LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
    if (KeyExists(HKEY_LOCAL_MACHINE, path))
        report.problems.push_back(ErrorText(L"cannot delete HKLM\\" + path, status));
}

void DeleteOneFile(const std::wstring& path, CleanReport& report) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    // Wine keeps a driver image open for a moment after its start failed (longer on a loaded
    // machine): a file in use gets a few more tries.
    for (DWORD tries = kFileReleaseLimitMs / kPollMs;; --tries) {
        if (DeleteFileW(path.c_str())) return;
        const DWORD error = GetLastError();
        const bool inUse = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        if (!inUse || tries == 0) {
            report.problems.push_back(ErrorText(L"cannot delete " + path, error));
            return;
        }
        Sleep(kPollMs);
    }
}

bool AllDigits(const std::wstring& text, size_t from) {
    if (from >= text.size()) return false;
    for (size_t i = from; i < text.size(); ++i)
        if (!iswdigit(text[i])) return false;
    return true;
}

// Files in `folder` matching `pattern` that `select` accepts.
template <typename Pred>
std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& pattern,
                                    Pred select) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data = {};
    FindHandle find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &data));
    if (!find) return found;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::wstring name = data.cFileName;
        if (select(name)) found.push_back(folder + L"\\" + name);
    } while (FindNextFileW(find.get(), &data));
    return found;
}

void RemoveFiles(CleanReport& report) {
    for (const auto& folder : ModuleRoots())
        if (!RemoveTree(folder)) report.problems.push_back(L"cannot remove " + folder);

    const std::wstring drivers = DriversDir();
    DeleteOneFile(drivers + L"\\" + kDriverFile, report);
    DeleteOneFile(drivers + L"\\" + kBackupFile, report);
    DeleteOneFile(SystemDir() + L"\\" + kBackupFile, report);
    // Renamed out of the way: qelmo.sys.<tick count>, the count printed signed.
    const std::wstring renamedPrefix = std::wstring(kDriverFile) + L".";
    for (const auto& file : FindFiles(drivers, renamedPrefix + L"*", [&](const std::wstring& name) {
             size_t digits = renamedPrefix.size();
             if (digits < name.size() && name[digits] == L'-') ++digits;
             return AllDigits(name, digits);
         }))
        DeleteOneFile(file, report);

    for (const auto& file :
         FindFiles(SystemDir(), std::wstring(L"*") + kSafetyNetExtension, IsSafetyNetName))
        DeleteOneFile(file, report);
}

std::atomic<unsigned> g_copyCounter{0};

bool CopyTree(const std::wstring& from, const std::wstring& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    WIN32_FIND_DATAW data = {};
    FindHandle find(FindFirstFileW((from + L"\\*").c_str(), &data));
    if (!find) return false;
    bool ok = true;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = CopyTree(from + L"\\" + name, to + L"\\" + name) && ok;
        else
            ok = CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE) && ok;
    } while (FindNextFileW(find.get(), &data));
    return ok;
}

}  // namespace

std::string CleanReport::Text() const {
    std::string text;
    for (const auto& problem : problems)
        text += "  " + Narrow(problem) + "\n";
    return text;
}

CleanReport CleanMachine(const std::vector<std::wstring>& extraServices) {
    CleanReport report;
    std::vector<std::wstring> services{kService};
    services.insert(services.end(), extraServices.begin(), extraServices.end());

    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
        report.problems.push_back(ErrorText(L"OpenSCManager", GetLastError()));
    else
        for (const auto& name : services)
            RemoveService(scm.get(), name, report);

    for (const auto& name : services)
        DeleteKeyTree(kServicesKey + name, report);
    DeleteKeyTree(kVendorKey, report);
    RemoveFiles(report);

    report.clean = report.problems.empty();
    return report;
}

MachineGuard::MachineGuard(std::vector<std::wstring> extraServices)
    : extraServices_(std::move(extraServices)) {
    atStart_ = CleanMachine(extraServices_);
    if (!atStart_.clean)
        ADD_FAILURE() << "the machine could not be cleaned before the test:\n" << atStart_.Text();
}

MachineGuard::~MachineGuard() {
    CleanReport report = Restore();
    if (!report.clean) ADD_FAILURE() << "the test left the machine changed:\n" << report.Text();
}

CleanReport MachineGuard::Restore() {
    CleanReport report = CleanMachine(extraServices_);
    if (!pending_.Restore())
        report.problems.push_back(L"cannot restore PendingFileRenameOperations");
    report.clean = report.problems.empty();
    return report;
}

std::wstring RegValue::String() const {
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    size_t nul = text.find(L'\0');
    return nul == std::wstring::npos ? text : text.substr(0, nul);
}

DWORD RegValue::Dword() const {
    DWORD value = 0;
    if (bytes.size() == sizeof(value)) memcpy(&value, bytes.data(), sizeof(value));
    return value;
}

std::vector<std::wstring> RegValue::MultiString() const {
    std::vector<std::wstring> out;
    std::wstring all(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    size_t begin = 0;
    while (begin < all.size()) {
        size_t nul = all.find(L'\0', begin);
        if (nul == std::wstring::npos) nul = all.size();
        if (nul == begin) break;
        out.push_back(all.substr(begin, nul - begin));
        begin = nul + 1;
    }
    return out;
}

RegValue ReadValue(HKEY root, const std::wstring& path, const std::wstring& name) {
    RegValue value;
    RegKeyHandle key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return value;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        value.bytes.resize(size);
        status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                                  size ? value.bytes.data() : nullptr, &size);
        if (status == ERROR_SUCCESS) {
            value.bytes.resize(size);
            value.exists = true;
            value.type = type;
            break;
        }
    }
    if (!value.exists) value.bytes.clear();
    return value;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    RegKeyHandle key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
           ERROR_SUCCESS;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring CopyPackage(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring base(temp, n);
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    std::wstring target = base + L"\\qelmo_pkg_" + name + L"_" +
                          std::to_wstring(GetCurrentProcessId()) + L"_" +
                          std::to_wstring(g_copyCounter++);
    RemoveTree(target);
    if (!CopyTree(PackageDir(name), target)) {
        RemoveTree(target);
        return std::wstring();
    }
    return target;
}

bool RemoveTree(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return !FileExists(path);
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data = {};
        FindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
        if (find) {
            do {
                std::wstring name = data.cFileName;
                if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
            } while (FindNextFileW(find.get(), &data));
        }
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
    return !FileExists(path);
}

}  // namespace qelmo::test
