#include "plugin/enumerate.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/driver_names.h"
#include "common/footprint.h"
#include "common/log.h"
#include "plugin/plugin_api.h"
#include "plugin/plugin_names.h"
#include "service/service_control.h"

namespace qelmo {

namespace {
#define ENUM_LOG(level, ...) QLOG(logid::kCatInstall, logid::kSrcHelper, level, __VA_ARGS__)
#define VERSION_LOG(level, ...) \
    QLOG(logid::kCatInstall, logid::kSrcDriverManage, level, __VA_ARGS__)

void CopyVersionText(char (&target)[QELMO_VERSION_BYTES], const std::string& text) {
    size_t n = text.size() < QELMO_VERSION_BYTES - 1 ? text.size() : QELMO_VERSION_BYTES - 1;
    memcpy(target, text.data(), n);
    target[n] = '\0';
}

bool QueryServiceState(const wchar_t* name, DWORD& state) {
    SERVICE_STATUS status = {};
    if (!QueryDriverServiceStatus(name, &status)) return false;
    state = status.dwCurrentState;
    return true;
}
}  // namespace

std::string FormatDriverVersion(const DWORD version[4]) {
    char text[QELMO_VERSION_BYTES] = {};
    snprintf(text, sizeof text, "%d.%d.%d", static_cast<int>(version[0]),
             static_cast<int>(version[1]), static_cast<int>(version[3]));
    return text;
}

BOOL QueryDriverVersion(const wchar_t* name, DWORD version[4]) {
    if (!name || !*name || !version) return FALSE;
    wchar_t directory[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(directory, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        ExpandEnvironmentStringsW(L"%windir%\\system32\\", directory, MAX_PATH);
    const std::wstring path = footprint::DriverFileInSystemFolder(directory, name);
    VERSION_LOG(logid::kTrace, L"Query Version of driver: ", path);

    auto fail = [&path]() {
        VERSION_LOG(logid::kError, L"Query Version failed, driver: ", path);
        return FALSE;
    };
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return fail();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return fail();
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return fail();
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoBytes = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoBytes) ||
        !info || infoBytes < sizeof(VS_FIXEDFILEINFO))
        return fail();
    version[0] = HIWORD(info->dwFileVersionMS);
    version[1] = LOWORD(info->dwFileVersionMS);
    version[3] = LOWORD(info->dwFileVersionLS);
    version[2] = 0;
    return TRUE;
}

uint32_t EnumerateDriversInfo(DriverEnumCallback callback, void* context) {
    DrvStatusInfo info = {};  // zero-filled: the host never sees stale stack bytes
    info.driver_id = QELMO_DRIVER_ID;
    info.valid = 1;
    bool queried = false;
    bool running = true;
    const size_t count = sizeof(names::kServiceNames) / sizeof(names::kServiceNames[0]);
    for (size_t i = count; i-- > 0;) {
        const wchar_t* name = names::kServiceNames[i];
        DWORD state = 0;
        if (!QueryServiceState(name, state)) {
            running = false;
            ENUM_LOG(logid::kWarn, L"Query driver ", name, L" status failed!");
            CopyVersionText(info.szVersion, plugin::kUnknownVersion);
            continue;
        }
        queried = true;
        ENUM_LOG(logid::kTrace, L"The current state of ", name, L" is ", state);
        if (state != SERVICE_RUNNING) running = false;
        DWORD version[4] = {};
        if (QueryDriverVersion(name, version)) {
            CopyVersionText(info.szVersion, FormatDriverVersion(version));
        } else {
            ENUM_LOG(logid::kWarn, L"Query driver ", name, L" version failed!");
            CopyVersionText(info.szVersion, plugin::kUnknownVersion);
        }
    }
    info.state =
        !queried ? DRV_STATE_UNKNOWN : (running ? DRV_STATE_RUNNING : DRV_STATE_NOT_RUNNING);
    // A host that hands no callback gets the status logged, not a crash.
    if (callback) callback(&info, context);
    ENUM_LOG(logid::kTrace, L"driver version: ", info.szVersion);
    return DRV_OK;
}

}  // namespace qelmo
