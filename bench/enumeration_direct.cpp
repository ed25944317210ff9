// The calls the enumeration export makes, made directly: SCM state, then the driver file's
// version.
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "common/handles.h"

namespace qelmo::bench {

void EnumerateDirectly(DrvStatusInfo& info) {
    info.driver_id = QELMO_DRIVER_ID;
    info.valid = 1;
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(scm ? OpenServiceW(scm.get(), L"qelmo", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status = {};
    const bool queried = service && QueryServiceStatus(service.get(), &status);
    service.reset();
    scm.reset();
    info.state = !queried ? DRV_STATE_UNKNOWN
                          : (status.dwCurrentState == SERVICE_RUNNING ? DRV_STATE_RUNNING
                                                                      : DRV_STATE_NOT_RUNNING);
    snprintf(info.szVersion, sizeof info.szVersion, "1.0");
    if (!queried) return;
    wchar_t directory[MAX_PATH] = {};
    GetSystemDirectoryW(directory, MAX_PATH);
    const std::wstring path = std::wstring(directory) + L"\\drivers\\qelmo.sys";
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (!size) return;
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT bytes = 0;
    if (GetFileVersionInfoW(path.c_str(), 0, size, block.data()) &&
        VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &bytes) && fixed)
        snprintf(info.szVersion, sizeof info.szVersion, "%d.%d.%d",
                 static_cast<int>(HIWORD(fixed->dwFileVersionMS)),
                 static_cast<int>(LOWORD(fixed->dwFileVersionMS)),
                 static_cast<int>(LOWORD(fixed->dwFileVersionLS)));
}

}  // namespace qelmo::bench
