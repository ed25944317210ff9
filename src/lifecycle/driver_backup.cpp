#include "lifecycle/driver_backup.h"

#include <oxal_setup.h>

#include "common/driver_names.h"
#include "common/footprint.h"
#include "lifecycle/lifecycle_log.h"

namespace qelmo {

int CopyDriverFiles(const wchar_t* firstFolder, const wchar_t* secondFolder, DWORD mode) {
    if (!firstFolder || !secondFolder) return 0;
    if (mode != DRV_COPY_REPLACE && mode != DRV_COPY_BACKUP && mode != DRV_COPY_ROLLBACK) return 0;
    DWORD error = 0;
    for (const wchar_t* name : names::kServiceNames) {
        const std::wstring driver = footprint::DriverFileName(name);
        const std::wstring backup = footprint::BackupFileName(name);
        std::wstring source, destination;
        switch (mode) {
            case DRV_COPY_REPLACE:
                source = firstFolder + driver;
                destination = secondFolder + driver;
                LIFECYCLE_LOG(logid::kTrace, L"replace old drivers with new drivers from: ", source,
                              L" to ", destination);
                break;
            case DRV_COPY_BACKUP:
                source = firstFolder + driver;
                destination = secondFolder + backup;
                LIFECYCLE_LOG(logid::kTrace, L"backup old drivers from: ", source, L" to ",
                              destination);
                break;
            default:
                source = firstFolder + backup;
                destination = secondFolder + driver;
                LIFECYCLE_LOG(logid::kTrace, L"rollback to old drivers from: ", source, L" to ",
                              destination);
                break;
        }
        if (!Copy(destination.c_str(), source.c_str(), TRUE, &error)) {
            LIFECYCLE_LOG(logid::kError, L"Copy file failed.", error);
            return 0;
        }
    }
    return 1;
}

int DeleteBackupDriverFiles(const wchar_t* folder) {
    if (!folder) return 0;
    int result = 1;
    for (const wchar_t* name : names::kServiceNames) {
        std::wstring path = folder + footprint::BackupFileName(name);
        if (!DeleteFileW(path.c_str())) {
            LIFECYCLE_LOG(logid::kTrace, L"delete backup file ", path, L" failed");
            result = 0;
        }
    }
    return result;
}

}  // namespace qelmo
