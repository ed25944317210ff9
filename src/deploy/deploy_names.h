// Names of the module deployment: module files, the folder chain the modules are placed in, and
// log texts that more than one step writes. Service key and value names are in
// common/driver_names.h.
#pragma once

namespace qelmo::deploy {

// Monitor engine files, directly in the driver package folder.
inline constexpr const wchar_t* kKipMon64File = L"kipmon64.dll";
inline constexpr const wchar_t* kKipMon32File = L"kipmon.dll";

// Event add-on files, in the package's add-on sub-folder.
inline constexpr const wchar_t* kPackageAddOnFolder = L"AddOn";
inline constexpr const wchar_t* kKipEvt64File = L"KipEvt64.dll";
inline constexpr const wchar_t* kKipEvt32File = L"KipEvt.dll";

// Folder chain below System32 and SysWOW64: qelmo\20019\<group>\<version text>. The owner folder
// "20019" is names::kOwnerModuleFolder.
inline constexpr const wchar_t* kModuleRootFolder = L"qelmo";
inline constexpr const wchar_t* kKipMonGroupFolder = L"KipMon";
inline constexpr const wchar_t* kAddOnGroupFolder = L"AddOn";
inline constexpr const wchar_t* kSysWow64Folder = L"SysWOW64";

// A module file is written under its name + this suffix and renamed once it is whole.
inline constexpr const wchar_t* kModuleCopySuffix = L".qelmonew";

// Log texts shared by the engine and the add-on deployment.
inline constexpr const wchar_t* kLogFolderNull = L"The input folder path is null.";
inline constexpr const wchar_t* kLogEnginePath = L"Engine Path is:";
inline constexpr const wchar_t* kLogEngineVersion = L"Engine Version is:";
inline constexpr const wchar_t* kLogInstallPath = L"wsModuleInstallPath is:";
inline constexpr const wchar_t* kLogInstallPathWow64 = L"wsModuleInstallPathWow64 is:";
inline constexpr const wchar_t* kLogFileExists = L"The file has been exists.";
inline constexpr const wchar_t* kLogSizeDiffers =
    L"The module file in place differs in size from the package's; it is kept: ";
inline constexpr const wchar_t* kLogCopyFailed = L"Failed to copy file.";
inline constexpr const wchar_t* kLogCopyFrom = L"\nfrom: ";
inline constexpr const wchar_t* kLogCopyTo = L"\nto: ";
inline constexpr const wchar_t* kLogPathTooLong = L"The path does not fit in its buffer: ";
inline constexpr const wchar_t* kLogNoSystemFolder = L"The system folder could not be determined.";
inline constexpr const wchar_t* kLogNoDevicePath = L"The device path could not be formed: ";

// Labels of the "file has been exists" line, per module file.
inline constexpr const wchar_t* kLabelEngineSource = L"\nEngineTargetPath: ";
inline constexpr const wchar_t* kLabelEngineTarget = L"\nEngineModulePath: ";
inline constexpr const wchar_t* kLabelAddOn64Source = L"\nAddon64TargetPath: ";
inline constexpr const wchar_t* kLabelAddOn64Target = L"\nAddon64ModulePath: ";
inline constexpr const wchar_t* kLabelAddOn32Source = L"\nAddonTargetPath: ";
inline constexpr const wchar_t* kLabelAddOn32Target = L"\nAddonModulePath: ";

}  // namespace qelmo::deploy
