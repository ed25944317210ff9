// Uninstalling the driver: counts PermCount down while other installations hold the driver,
// otherwise stops it, removes the deployed modules, runs the INF's uninstall section and deletes
// the service.
#pragma once

#include <qelmo_plugin.h>

#include <string>

namespace qelmo {

uint32_t UninstallDrvFromDrvInfo(const DrvInfo& rDrvInfo);
// Removes the recorded module files, their two folder levels and the qelmo\20019 and qelmo
// folders, in SysWOW64 and System32 (now, or at restart when they cannot go now).
void RemoveDeployedModules();
// ForceDeleteFile, then the file's folder and that folder's parent, now or at restart.
void RemoveFileAndTwoFolders(const std::wstring& path);

}  // namespace qelmo
