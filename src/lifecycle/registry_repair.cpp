#include "lifecycle/registry_repair.h"

#include <string>

#include "common/driver_names.h"
#include "common/log.h"
#include "common/registry_key.h"
#include "common/trace.h"
#include "lifecycle/lifecycle_log.h"

namespace qelmo {

DWORD _CheckDeleteFlagRegistry(const wchar_t* serviceName) {
    QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace,
                 L"_CheckDeleteFlagRegistry");
    DWORD bRet = 0;
    CRegistryKey key;
    if (serviceName != nullptr) {
        std::wstring path = std::wstring(names::kServicesRoot) + serviceName;
        if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS) == ERROR_SUCCESS) {
            DWORD deleteFlag = 0;
            if (key.QueryDWORDValue(deleteFlag, names::kDeleteFlag) == ERROR_SUCCESS &&
                deleteFlag != 0) {
                bRet = 1;
                QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kWarn,
                     lifecycle_text::kDeleteFlagMarks, serviceName,
                     lifecycle_text::kMarkedOnReboot);
            }
        }
    }
    QTRACE_LEAVE(trace, L"bRet = ", bRet);
    key.Close();
    return bRet;
}

DWORD ModifyQelmoRegistry() {
    QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace,
                 L"ModifyQelmoRegistry");
    DWORD bRet = 1;
    CRegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, names::kServiceKey, KEY_ALL_ACCESS) != ERROR_SUCCESS) {
        bRet = 0;
        QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kError, L"fail to open registry: ",
             names::kServiceKey);
    } else {
        DWORD permCount = 0;
        if (key.QueryDWORDValue(permCount, names::kPermCount) == ERROR_SUCCESS) {
            key.SetDWORDValue(permCount + 1, names::kPermCount);  // unsigned: 0xFFFFFFFF wraps
        } else {
            key.SetDWORDValue(1, names::kPermCount);
            QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kWarn, L"fail to query registry: ",
                 names::kServiceKey, L"\\", names::kPermCount);
        }
        if (key.DeleteValue(names::kDeleteFlag) != ERROR_SUCCESS)
            QLOG(logid::kCatInstall, logid::kSrcHelper, logid::kWarn, L"fail to delete registry: ",
                 names::kServiceKey, L"\\", names::kDeleteFlag);
    }
    QTRACE_LEAVE(trace, L"bRet = ", bRet);
    key.Close();
    return bRet;
}

}  // namespace qelmo
