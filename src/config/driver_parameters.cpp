#include "config/driver_parameters.h"

#include <cwchar>

#include "common/driver_names.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/registry_key.h"
#include "config/config_names.h"
#include "common/system_folders.h"

namespace qelmo {
LONG OpenParametersSubkey(const wchar_t* serviceKeyPath, RegKeyHandle& parameters) {
    parameters.reset();
    LONG result;
    {
        RegKeyHandle serviceKey;
        result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, serviceKeyPath, 0, config::kParaKeyAccess,
                               serviceKey.put());
        if (result == ERROR_SUCCESS)
            result = RegCreateKeyExW(serviceKey.get(), names::kParametersSubkey, 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, config::kParaCreateAccess, nullptr,
                                     parameters.put(), nullptr);
    }
    if (result != ERROR_SUCCESS)
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, L"Create sub key [",
             serviceKeyPath, L"][", names::kParametersSubkey, L"] failed: ", result);
    return result;
}

LONG CreateParametersSubkey(const wchar_t* serviceKeyPath) {
    RegKeyHandle parameters;
    return OpenParametersSubkey(serviceKeyPath, parameters);
}

std::wstring FormatLastLeaveTime(const SYSTEMTIME& time) {
    wchar_t text[config::kLastLeaveUnits] = {};
    // Every field has at most five digits, so the 19 to 35 units always fit.
    swprintf(text, config::kLastLeaveUnits, config::kLastLeaveFormat, time.wYear, time.wMonth,
             time.wDay, time.wHour, time.wMinute, time.wSecond);
    text[config::kLastLeaveUnits - 1] = L'\0';
    return text;
}

bool InitDriverServiceRegistry(const wchar_t* driverFolder) {
    (void)driverFolder;
    std::wstring drive = GetSystem32Folder().substr(0, 2);
    wchar_t device[MAX_PATH] = {};
    // No system directory: leave the text empty rather than ask for an empty device name, which
    // would list every device.
    if (drive.size() == 2 && QueryDosDeviceW(drive.c_str(), device, MAX_PATH) == 0)
        device[0] = L'\0';
    device[MAX_PATH - 1] = L'\0';

    WriteRegString(device, names::kServiceKey, names::kSystemDiskName);
    WriteRegDWORD(config::kGHSwitchOn, names::kServiceKey, names::kGHSwitch);
    WriteRegDWORD(config::kZrkFlagsDefault, names::kServiceKey, names::kZrkFlags);

    RegKeyHandle parameters;
    if (OpenParametersSubkey(names::kServiceKey, parameters) != ERROR_SUCCESS) return false;
    SetParaDefaultValuesIn(parameters.get());
    return true;
}

bool CreateParaRegKey(const wchar_t* keyPath) {
    RegKeyHandle parameters;
    OpenParametersSubkey(keyPath, parameters);  // a failure is logged there; the stamp is tried
    // The stamp always goes to the driver's own Parameters key: through the key just opened when
    // that is the one, else opened for the stamp alone.
    const bool ownKey =
        parameters && keyPath &&
        CompareStringOrdinal(keyPath, -1, names::kServiceKey, -1, TRUE) == CSTR_EQUAL;
    const bool stamped =
        ownKey ? StampLastLeaveTime(parameters.get()) : SetLastLeaveSafetyNetTimeToCurrentTime();
    if (!stamped) {
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError,
             L"SetLastLeaveSafetyNetTimeToCurrentTime failed.");
        return false;
    }
    return true;
}

namespace {

// Parameters opened for its values, created below the service key when only it is missing.
LONG OpenOrCreateParameters(RegKeyHandle& parameters) {
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kParametersKey, 0,
                                config::kParaKeyAccess, parameters.put());
    if (result == ERROR_FILE_NOT_FOUND) {
        RegKeyHandle serviceKey;
        result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, config::kParaKeyAccess,
                               serviceKey.put());
        if (result == ERROR_SUCCESS)
            result = RegCreateKeyExW(serviceKey.get(), names::kParametersSubkey, 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, config::kParaCreateAccess, nullptr,
                                     parameters.put(), nullptr);
    }
    return result;
}

}  // namespace

void SetParaRegDefaultValues() {
    RegKeyHandle parameters;
    if (OpenOrCreateParameters(parameters) == ERROR_SUCCESS)
        SetParaDefaultValuesIn(parameters.get());
}

void SetParaDefaultValuesIn(HKEY parameters) {
    SetParaValueDWORD(parameters, names::kGGCT, config::kDefaultGGCT);
    SetParaValueDWORD(parameters, names::kGGCS, config::kDefaultGGCS);
    SetParaValueDWORD(parameters, names::kALSN, config::kDefaultALSN);
    SetParaValueDWORD(parameters, names::kStatusCode, config::kStatusCodeReset);
    SetStringValueWithoutNul(parameters, names::kLastLeaveTime, config::kLastLeaveUndefined);
}

DWORD SetParaValueDWORD(HKEY parameters, const wchar_t* valueName, DWORD value) {
    BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                    static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    return static_cast<DWORD>(
        RegSetValueExW(parameters, valueName, 0, REG_DWORD, data, sizeof data));
}

DWORD SetParaRegValueDWORD(const wchar_t* valueName, DWORD value) {
    RegKeyHandle parameters;
    const LONG result = OpenOrCreateParameters(parameters);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    return SetParaValueDWORD(parameters.get(), valueName, value);
}

bool SetLastLeaveSafetyNetTimeToCurrentTime() {
    RegKeyHandle parameters;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kParametersKey, 0, config::kLastLeaveAccess,
                      parameters.put()) != ERROR_SUCCESS)
        return false;
    return StampLastLeaveTime(parameters.get());
}

bool StampLastLeaveTime(HKEY parameters) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    return SetStringValueWithoutNul(parameters, names::kLastLeaveTime, FormatLastLeaveTime(now)) ==
           ERROR_SUCCESS;
}

}  // namespace qelmo
