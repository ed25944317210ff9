// Where the plug-in leaves things on a machine, written down by the tests themselves: the service
// and its keys, the drivers folder's files, the module folders, the safety-net file and the
// restart-time file operations. The tests check the plug-in against this description and never
// against the plug-in's own path builders, so a fault in those cannot confirm itself. The machine
// guard, the reliability campaigns and the bench share it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qelmo::test::layout {

// ---- names ------------------------------------------------------------------------------------

inline constexpr const wchar_t* kService = L"qelmo";
inline constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
inline constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo";
inline constexpr const wchar_t* kVendorKey = L"SOFTWARE\\Vantor";
inline constexpr const wchar_t* kSessionManagerKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr const wchar_t* kPendingRenames = L"PendingFileRenameOperations";
inline constexpr const wchar_t* kPermCount = L"PermCount";

// Files of a driver package (relative to its folder) and of the drivers folder.
inline constexpr const wchar_t* kInfFile = L"qelmo.inf";
inline constexpr const wchar_t* kDriverFile = L"qelmo.sys";
inline constexpr const wchar_t* kBackupFile = L"qelmo_backup.sys";

// Module folders: <system folder>\qelmo\20019\<group>\<version>\<file>.
inline constexpr const wchar_t* kModuleRootFolder = L"qelmo";
inline constexpr const wchar_t* kOwnerFolder = L"20019";

// The safety-net file's name while LastLeaveTime cannot be read; otherwise 32 hex digits + ".dat".
inline constexpr const wchar_t* kSafetyNetFixedName = L"j48bon7fggefsadiedd5566_23310837.dat";
inline constexpr const wchar_t* kSafetyNetExtension = L".dat";

// One module file: where the package holds it, where it is placed and where that is recorded.
struct Module {
    const wchar_t* packageFile;  // relative to the package folder
    const wchar_t* fileName;     // the placed file
    const wchar_t* group;        // folder below <root>\20019
    bool wow64;                  // placed below SysWOW64 (else System32)
    const wchar_t* key;          // below HKEY_LOCAL_MACHINE
    const wchar_t* pathValue;    // records the placed file's path
};

// 64-bit monitor engine, 32-bit monitor engine, 64-bit add-on, 32-bit add-on.
inline constexpr Module kModules[] = {
    {L"kipmon64.dll", L"kipmon64.dll", L"KipMon", false, kServiceKey, L"QELMOMonDll64Name"},
    {L"kipmon.dll", L"kipmon.dll", L"KipMon", true, kServiceKey, L"QELMOMonDllName"},
    {L"AddOn\\KipEvt64.dll", L"KipEvt64.dll", L"AddOn", false,
     L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn\\KipEvt64", L"path"},
    {L"AddOn\\KipEvt.dll", L"KipEvt.dll", L"AddOn", true,
     L"SYSTEM\\CurrentControlSet\\Services\\qelmo\\AddOn\\KipEvt", L"path"},
};

// ---- places on this machine ---------------------------------------------------------------------

// C:\windows, C:\windows\system32, C:\windows\syswow64, C:\windows\system32\drivers; no trailing
// '\'.
std::wstring WindowsDir();
std::wstring SystemDir();
std::wstring Wow64Dir();
std::wstring DriversDir();
// <drivers>\qelmo.sys
std::wstring InstalledDriverFile();
// <system32>\qelmo and <syswow64>\qelmo.
std::vector<std::wstring> ModuleRoots();
// Where a module of a version text is placed.
std::wstring ModuleFile(const Module& module, const std::wstring& version);
// True for a file name the safety net uses (either form).
bool IsSafetyNetName(const std::wstring& name);

// ---- restart-time file operations ---------------------------------------------------------------

// PendingFileRenameOperations as its list of strings: (source, target) pairs, where a deletion
// has an empty target. Split on every NUL over the whole data; the list's closing empty string is
// dropped.
std::vector<std::wstring> PendingRenames();
// True when `path` is scheduled for deletion at restart.
bool PendingDeletionOf(const std::vector<std::wstring>& pending, const std::wstring& path);
// The source paths of the list, without their "\??\" prefix.
std::vector<std::wstring> PendingSources(const std::vector<std::wstring>& pending);

// Remembers PendingFileRenameOperations (or that it did not exist) and puts it back.
class PendingRenamesKeeper {
public:
    PendingRenamesKeeper();
    // Writes the remembered value back (deletes it when it did not exist); true when the value
    // now is what was remembered.
    bool Restore() const;

private:
    bool existed_ = false;
    DWORD type_ = REG_NONE;
    std::vector<BYTE> bytes_;
};

}  // namespace qelmo::test::layout
