// The driver's footprint on the test machine (the Wine prefix): put it back the way a test found
// it, and small readers that system tests use to look at that footprint.
//
// Everything here uses the Win32 API directly, never the plug-in's own code, so a fault in the
// plug-in cannot hide behind its own clean-up.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/layout.h"

namespace qelmo::test {

// ---- what a clean-up did ----------------------------------------------------------------------

struct CleanReport {
    // Nothing of the footprint is left (and, for a guard's restore, the pending renames are back).
    bool clean = true;
    // A service could not be stopped (a driver without unload routine, a service that ignores
    // STOP) and its hosting process could not be ended: it stays registered, and a new service
    // of that name cannot be created until the Wine session restarts.
    bool serviceStuck = false;
    // A service had to be removed by ending the process that hosted it (winedevice.exe for a
    // driver that cannot unload, the service's own process for a user-mode service).
    bool hostEnded = false;
    // One line per thing that could not be removed or restored.
    std::vector<std::wstring> problems;

    // The problems, one per line, for a failure message.
    std::string Text() const;
};

// Removes the driver's footprint:
//   - the services "qelmo" and `extraServices`: stopped (or their host process ended when they
//     cannot be stopped), deleted, and waited for until the service manager forgets them;
//   - their keys under HKLM\SYSTEM\CurrentControlSet\Services;
//   - <system32>\qelmo and <syswow64>\qelmo with everything in them;
//   - <drivers>\qelmo.sys, its renamed copies qelmo.sys.<number>, and qelmo_backup.sys in the
//     drivers and system folders;
//   - HKLM\SOFTWARE\Vantor;
//   - safety-net files: <system32>\<32 hex digits>.dat.
// It does not touch PendingFileRenameOperations; MachineGuard restores that value.
CleanReport CleanMachine(const std::vector<std::wstring>& extraServices = {});

// Cleans on construction, remembers PendingFileRenameOperations, and on destruction cleans again
// and puts that value back (deleting it when it did not exist). A clean-up that leaves something
// behind is reported as a test failure (ADD_FAILURE) at that point.
class MachineGuard {
public:
    explicit MachineGuard(std::vector<std::wstring> extraServices = {});
    ~MachineGuard();
    MachineGuard(const MachineGuard&) = delete;
    MachineGuard& operator=(const MachineGuard&) = delete;

    // The result of the clean-up at construction.
    const CleanReport& AtStart() const { return atStart_; }
    // Cleans and restores now (the destructor does it again, cheaply, when nothing is left).
    CleanReport Restore();

private:
    std::vector<std::wstring> extraServices_;
    CleanReport atStart_;
    layout::PendingRenamesKeeper pending_;
};

// ---- readers ---------------------------------------------------------------------------------

struct RegValue {
    bool exists = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;  // exactly the stored bytes; their count is the stored size

    DWORD Size() const { return static_cast<DWORD>(bytes.size()); }
    // REG_SZ / REG_EXPAND_SZ: the text up to the first NUL (or all of it when none is stored).
    std::wstring String() const;
    // REG_DWORD: the number; 0 when the value is not 4 bytes.
    DWORD Dword() const;
    // REG_MULTI_SZ: the strings, without the closing empty one.
    std::vector<std::wstring> MultiString() const;
};

// Reads one value (64-bit view). A missing key or value gives exists == false.
RegValue ReadValue(HKEY root, const std::wstring& path, const std::wstring& name);
// True when the key exists.
bool KeyExists(HKEY root, const std::wstring& path);

// True when a file or a folder exists at `path`.
bool FileExists(const std::wstring& path);

// C:\windows\system32, C:\windows\syswow64, C:\windows\system32\drivers; no trailing '\'.
using layout::DriversDir;
using layout::SystemDir;
using layout::Wow64Dir;

// Copies bin\packages\<name> (built by tests/fixtures) to a new folder under the temp folder, so a
// test may change or delete files in it. Returns the new folder without trailing '\'; empty when
// the copy failed.
std::wstring CopyPackage(const std::wstring& name);
// Deletes a folder with everything in it (read-only files too); true when it is gone.
bool RemoveTree(const std::wstring& path);

// A package copy that removes itself.
class PackageCopy {
public:
    explicit PackageCopy(const std::wstring& name) : path_(CopyPackage(name)) {}
    ~PackageCopy() {
        if (!path_.empty()) RemoveTree(path_);
    }
    PackageCopy(const PackageCopy&) = delete;
    PackageCopy& operator=(const PackageCopy&) = delete;

    // The folder, without trailing '\'; empty when the copy failed.
    const std::wstring& Path() const { return path_; }
    // A file in it: Path() + '\' + relative.
    std::wstring File(const std::wstring& relative) const { return path_ + L"\\" + relative; }

private:
    std::wstring path_;
};

}  // namespace qelmo::test
