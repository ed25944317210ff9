// The machine as the campaigns compare it: registry trees and file trees flattened into one sorted
// map, and the rule that says which entries the plug-in may change.
//
// Everything here uses the Win32 API directly, never the plug-in's code.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace qelmo::reliability {

// Entry names, lower case:
//   "k|hklm\software\x"           a registry key (data empty)
//   "v|hklm\software\x|name"      a registry value (data: type, size and a digest of the bytes)
//   "d|c:\windows\x"              a folder (data empty: its own time changes with its content)
//   "f|c:\windows\x\y.dll"        a file (data: size and last write time)
using Snapshot = std::map<std::wstring, std::wstring>;

// Adds the key `path` under `root` (shown as `rootName`) with every value and sub-key.
void AddRegistryTree(Snapshot& snapshot, HKEY root, const std::wstring& rootName,
                     const std::wstring& path);
// Adds the folder with every file and sub-folder (reparse points are listed, not entered).
void AddFileTree(Snapshot& snapshot, const std::wstring& folder);
// Adds the files directly in `folder`, without its sub-folders.
void AddFolderFiles(Snapshot& snapshot, const std::wstring& folder);

// The registry and file trees the plug-in could plausibly reach, plus `extraFolders` (trees).
Snapshot TakeMachineSnapshot(const std::vector<std::wstring>& extraFolders = {});

// One line per entry that was added, removed or changed: "added f|c:\...".
std::vector<std::wstring> Changes(const Snapshot& before, const Snapshot& after);

// The places the plug-in owns:
//   HKLM\SYSTEM\CurrentControlSet\Services\qelmo and below;
//   the value PendingFileRenameOperations of HKLM\...\Control\Session Manager;
//   <system32>\qelmo and <syswow64>\qelmo with everything below;
//   <system32>\drivers\qelmo.sys;
//   <system32>\<32 hex digits>.dat (the safety-net file);
//   a file qelmo_backup.sys whose full path (lower case) is in `backupFiles`;
// and the default value of HKLM\...\Control\ServiceCurrent, which Wine's service manager bumps
// on every service start, and the keys below HKLM\...\Control\Video, where Wine's display driver
// registers a device for each new window station.
bool InFootprint(const std::wstring& entry, const std::vector<std::wstring>& backupFiles);

// The changes outside the footprint.
std::vector<std::wstring> ChangesOutsideFootprint(const Snapshot& before, const Snapshot& after,
                                                  const std::vector<std::wstring>& backupFiles);

// Lower case (ordinal, as the file system and the registry compare names).
std::wstring Lower(std::wstring text);

}  // namespace qelmo::reliability
