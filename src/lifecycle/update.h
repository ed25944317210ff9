// Updating the installed driver from a new package: deploy the new modules, make sure the service
// exists, back up the installed driver file, stop the driver, replace the file, start the new
// driver, retire the previous modules; on a failed replace or start, roll the old file back.
#pragma once

#include <qelmo_plugin.h>

#include <string>

namespace qelmo {

uint32_t UpdateDrvFromDrvInfo(const DrvInfo& rDrvInfo);

// Makes sure the service exists before its file is replaced: reinstalls it from the INF when it
// is missing or marked for deletion, and takes over a service another installation created.
void EnsureDriverService(const wchar_t* name, const std::wstring& driverFolder);

}  // namespace qelmo
