// Ending the process that hosts a service which will not stop, for the machine clean-up.
#include "support/machine_parts.h"

#include <tlhelp32.h>

#include <vector>

#include "common/handles.h"
#include "support/layout.h"

namespace qelmo::test::machine_parts {
namespace {

using layout::WindowsDir;

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

}  // namespace

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

}  // namespace qelmo::test::machine_parts
