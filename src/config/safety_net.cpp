#include "config/safety_net.h"

#include "config/safety_net_name.h"

#include <io.h>

#include <utility>
#include <vector>

#include "common/driver_names.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/registry_key.h"
#include "config/config_names.h"
#include "config/driver_parameters.h"
#include "config/md5.h"
#include "service/service_control.h"

namespace qelmo {

bool GetRegStringValue(const wchar_t* subkey, const wchar_t* valueName, std::wstring& text) {
    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, subkey, KEY_READ) != ERROR_SUCCESS) return false;
    DWORD type = REG_NONE;
    std::wstring value;
    if (key.QueryStringValue(valueName, value, &type) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    text = std::move(value);
    return true;
}

DWORD GetSafetyNetFilePath(std::wstring& path) {
    wchar_t systemDir[MAX_PATH] = {};
    UINT units = GetSystemDirectoryW(systemDir, MAX_PATH);
    if (units == 0 || units >= MAX_PATH) {
        DWORD error = GetLastError();
        if (units >= MAX_PATH) error = ERROR_INSUFFICIENT_BUFFER;
        if (error != ERROR_SUCCESS) return error;
    } else {
        path.assign(systemDir, 2);
    }

    std::wstring lastLeave;
    const bool readable =
        GetRegStringValue(names::kParametersKey, names::kLastLeaveTime, lastLeave);
    path = SafetyNetFilePathFor(path, readable ? &lastLeave : nullptr);
    return ERROR_SUCCESS;
}

bool DeleteSafetyNetFile(std::wstring& message) {
    std::wstring path;
    DWORD error = GetSafetyNetFilePath(path);
    if (error != ERROR_SUCCESS) {
        message = L"GetSafetyNetFilePath failed, error code: " + std::to_wstring(error);
        return false;
    }
    if (_waccess(path.c_str(), 0) != 0) return true;
    if (DeleteFileW(path.c_str())) return true;
    error = GetLastError();
    if (error == ERROR_SUCCESS) return true;
    message = L"Delete file " + path + L" failed, error code: " + std::to_wstring(error);
    return false;
}

void ResetSafetyNet() {
    StopDriver(names::kServiceName);

    std::wstring message;
    if (!DeleteSafetyNetFile(message))
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, message);

    RegKeyHandle parameters;
    if (OpenParametersSubkey(names::kServiceKey, parameters) != ERROR_SUCCESS)
        return;  // logged there

    DWORD error = SetParaValueDWORD(parameters.get(), names::kStatusCode, config::kStatusCodeReset);
    if (error != ERROR_SUCCESS) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, L"SetParaRegValueDWORD(",
             names::kStatusCode, L", ", config::kStatusCodeReset, L") failed: ", error);
        return;
    }

    if (!StampLastLeaveTime(parameters.get()))
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"SetLastLeaveSafetyNetTimeToCurrentTime failed.");
}

}  // namespace qelmo
