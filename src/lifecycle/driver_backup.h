// The driver file moves of an update: backup, replace, rollback, and removing the backup.
// All copies go through the host's installation library (oxalSetup.dll, Copy).
#pragma once

#include <windows.h>

#include <string>

namespace qelmo {

enum DriverCopyMode : DWORD {
    DRV_COPY_REPLACE = 1,   // first\<name>.sys        -> second\<name>.sys
    DRV_COPY_BACKUP = 2,    // first\<name>.sys        -> second\<name>_backup.sys
    DRV_COPY_ROLLBACK = 3,  // first\<name>_backup.sys -> second\<name>.sys
};

// Both folders must end with a backslash: names are appended as they are. 1 when every copy
// succeeded; 0 for a null folder, an unknown mode or a failed copy.
int CopyDriverFiles(const wchar_t* firstFolder, const wchar_t* secondFolder, DWORD mode);
// Deletes <folder><name>_backup.sys; 1 when every deletion succeeded.
int DeleteBackupDriverFiles(const wchar_t* folder);

}  // namespace qelmo
