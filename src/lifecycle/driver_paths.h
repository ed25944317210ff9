// Paths of a driver package and of the drivers folder, and the removal of retired module files.
#pragma once

#include <windows.h>

#include <qelmo_plugin.h>

#include <string>
#include <vector>

namespace qelmo {

// True when the record's path ends with a NUL inside its 1024 units.
bool DriverPathIsTerminated(const DrvInfo& rDrvInfo);

// The record's package folder for install and update: checks that the field ends inside the
// record, normalises it into `folder` (kFolderUnits units) and logs the raw and normalised paths.
// False, with the failure's log line, when the record cannot be used.
bool ReadPackageFolder(const DrvInfo& rDrvInfo, wchar_t* folder);

// Copies the input into output (outputUnits units, with NUL) with its first "\\.\" collapsed to
// "\". 0 when a pointer is missing or the result does not fit.
int NormalizeDriverPath(const wchar_t* input, wchar_t* output, size_t outputUnits);

// "<folder>\<name>.inf", or "<folder><name>.inf" when the folder ends in '\' or '/'.
std::wstring InfPathFor(const std::wstring& folder, const wchar_t* serviceName);
// The folder with a trailing '\' unless it already ends in '\' or '/'.
std::wstring WithTrailingSeparator(const std::wstring& folder);
bool EndsWithSeparator(const std::wstring& text);

// Deletes the file; when that fails, moves it aside to "<path>.<tick count>" and schedules that
// name for deletion at restart (or the path itself when even the move fails). A file that is
// not there is left alone: nothing is scheduled for it.
void ForceDeleteFile(const std::wstring& path);
// ForceDeleteFile, then removes the file's folder now or at restart.
void RemoveFileAndFolder(const std::wstring& path);
// Removes the folder now, or schedules it for deletion at restart; a folder that is not there is
// left alone.
void RemoveFolderNowOrAtRestart(const std::wstring& folder);
// Removes the folder that held the module file `modulePath` (already deleted), with a copy of the
// module that an interrupted deployment left beside it; what cannot go now goes at restart.
void RemoveModuleFolder(const std::wstring& modulePath, const std::wstring& folder);

// RemoveFileAndFolder on each previous path, except one that now names a module in use by the
// current deployment (a re-deployment of the same version into a folder emptied by hand).
void RetirePreviousModules(const std::vector<std::wstring>& previousPaths,
                           const std::vector<std::wstring>& currentPaths);

// After a deployment: retires the previously recorded files of each module whose new files were
// copied (its flag is set).
void RetireAfterDeployment(const std::vector<std::wstring>& previousMonitorPaths,
                           const std::vector<std::wstring>& previousAddOnPaths, bool monitorCopied,
                           bool addOnCopied);

// Reads the module paths recorded by the previous deployment. One reader per bitness:
// {QELMOMonDllName, AddOn\KipEvt path} and {QELMOMonDll64Name, AddOn\KipEvt64 path}.
using RecordedPathReader = bool (*)(std::wstring& monitorPath, std::wstring& addOnPath);
bool ReadRecordedPaths32(std::wstring& monitorPath, std::wstring& addOnPath);
bool ReadRecordedPaths64(std::wstring& monitorPath, std::wstring& addOnPath);
// 1 with both lists filled (32-bit entry first); 0 with both lists empty when a value is missing.
int CollectRecordedModulePaths(std::vector<std::wstring>& monitorPaths,
                               std::vector<std::wstring>& addOnPaths);

}  // namespace qelmo
