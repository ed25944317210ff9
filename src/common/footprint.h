// Where the driver and its modules live on a machine: the drivers folder and the driver file, the
// backup file of an update, the module folder chain qelmo\20019\<group>\<version> below System32
// and SysWOW64, the registry values that record the placed modules, and the restart-time file
// operations. Pure builders over given base folders: nothing here touches the machine or logs, so
// the plug-in and qelmoctl share one model. Service key paths and value names are in
// common/driver_names.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/driver_names.h"

namespace qelmo::footprint {

// ---- folders and files ------------------------------------------------------------------------

// Below the Windows directory.
inline constexpr const wchar_t* kDriversSubfolder = L"system32\\drivers\\";
inline constexpr const wchar_t* kSysWow64Folder = L"SysWOW64";
// Below the system directory.
inline constexpr const wchar_t* kDriversFolderName = L"drivers";

// "<windows>\system32\drivers\" (a backslash is added after the Windows directory when missing).
std::wstring DriversFolder(const std::wstring& windowsDirectory);
// "<system>\drivers\<service>.sys" (a backslash is added after the system directory when missing).
std::wstring DriverFileInSystemFolder(const std::wstring& systemDirectory,
                                      const wchar_t* serviceName);
// Files named after the service: the driver image, its backup during an update, the INF file.
inline constexpr const wchar_t* kDriverFileSuffix = L".sys";
inline constexpr const wchar_t* kBackupFileSuffix = L"_backup.sys";
inline constexpr const wchar_t* kInfSuffix = L".inf";

// "<service>.sys", "<service>_backup.sys", "<service>.inf".
std::wstring DriverFileName(const wchar_t* serviceName);
std::wstring BackupFileName(const wchar_t* serviceName);
std::wstring InfFileName(const wchar_t* serviceName);
// "<windows>\SysWOW64" for a Windows directory without trailing backslash.
std::wstring SysWow64FolderOf(const std::wstring& windowsDirectory);

// ---- deployed modules -----------------------------------------------------------------------

// Module files of a driver package: the monitor engine directly in the package folder, the event
// add-on in its sub-folder.
inline constexpr const wchar_t* kKipMon64File = L"kipmon64.dll";
inline constexpr const wchar_t* kKipMon32File = L"kipmon.dll";
inline constexpr const wchar_t* kPackageAddOnFolder = L"AddOn";
inline constexpr const wchar_t* kKipEvt64File = L"KipEvt64.dll";
inline constexpr const wchar_t* kKipEvt32File = L"KipEvt.dll";

// Folder chain below a system folder: <root>\<owner>\<group>\<version text>.
inline constexpr const wchar_t* kModuleRootFolder = L"qelmo";
inline constexpr const wchar_t* kKipMonGroupFolder = L"KipMon";
inline constexpr const wchar_t* kAddOnGroupFolder = L"AddOn";

// "<system folder>\qelmo" and "<system folder>\qelmo\20019".
std::wstring ModuleRoot(const std::wstring& systemFolder);
std::wstring OwnerFolder(const std::wstring& systemFolder);
// "<system folder>\qelmo\20019\<group>\<version>\<file>".
std::wstring ModuleFilePath(const std::wstring& systemFolder, const wchar_t* group,
                            const std::wstring& version, const wchar_t* file);

enum class Bitness { k64, k32 };  // k64: System32; k32: SysWOW64

// One placed module file and the registry values that record it.
struct ModuleRecord {
    const char* label;  // for people: "kipmon64", "KipEvt" ...
    Bitness bitness;
    const wchar_t* group;          // kKipMonGroupFolder or kAddOnGroupFolder
    const wchar_t* packageFolder;  // sub-folder of the package; null: the package folder itself
    const wchar_t* fileName;       // the file, in the package and where it is placed
    const wchar_t* key;            // below HKEY_LOCAL_MACHINE
    const wchar_t* pathValue;      // the placed file's path
    const wchar_t* devPathValue;   // the same path in NT device form
    const wchar_t* versionValue;   // the version text; null when only the folder name holds it
};

// 64-bit monitor, 32-bit monitor, 64-bit add-on, 32-bit add-on.
inline constexpr ModuleRecord kModuleRecords[] = {
    {"kipmon64", Bitness::k64, kKipMonGroupFolder, nullptr, kKipMon64File, names::kServiceKey,
     names::kMonDll64Name, names::kMonDll64NameDev, nullptr},
    {"kipmon", Bitness::k32, kKipMonGroupFolder, nullptr, kKipMon32File, names::kServiceKey,
     names::kMonDllName, names::kMonDllNameDev, nullptr},
    {"KipEvt64", Bitness::k64, kAddOnGroupFolder, kPackageAddOnFolder, kKipEvt64File,
     names::kAddOnEvt64Key, names::kAddOnPath, names::kAddOnDevPath, names::kAddOnVersion},
    {"KipEvt", Bitness::k32, kAddOnGroupFolder, kPackageAddOnFolder, kKipEvt32File,
     names::kAddOnEvtKey, names::kAddOnPath, names::kAddOnDevPath, names::kAddOnVersion},
};

// "<package folder>\[<sub-folder>\]<file>" of a module record.
std::wstring PackageFilePath(const std::wstring& packageFolder, const ModuleRecord& record);

// ---- restart-time file operations ---------------------------------------------------------------

inline constexpr const wchar_t* kSessionManagerKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr const wchar_t* kPendingRenamesValue = L"PendingFileRenameOperations";

struct PendingRename {
    std::wstring source;      // a DOS path ("\??\" taken off)
    std::wstring target;      // empty: the source is deleted
    bool replace = false;     // '!' before the target: an existing target is replaced
    bool incomplete = false;  // the data ended after the source; the target is unknown

    bool IsDelete() const { return target.empty() && !incomplete; }
};

// Splits the stored value into its (source, target) pairs. The value is typed REG_MULTI_SZ but a
// deletion has an empty target, so empty strings occur inside the list: it is read pair by pair
// over the whole data, not up to the first empty string. Pairs with both halves empty (padding at
// the end) are dropped; a last source without its target is kept as incomplete. Data that does
// not end in NUL is read to its end; an odd last byte is ignored.
std::vector<PendingRename> ParsePendingRenames(const unsigned char* data, size_t bytes);

// "\??\C:\x" -> "C:\x", with `replace` set for a leading '!' ("!\??\C:\x"); other text unchanged.
std::wstring PendingPathToDosPath(const std::wstring& stored, bool* replace = nullptr);

}  // namespace qelmo::footprint
