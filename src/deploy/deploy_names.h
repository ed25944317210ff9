// Log texts that more than one step of the module deployment writes. The module files and the
// folder chain they are placed in are in common/footprint.h; service key and value names in
// common/driver_names.h.
#pragma once

namespace qelmo::deploy {

// A module file is written under its name + this suffix and renamed once it is whole.
inline constexpr const wchar_t* kModuleCopySuffix = L".qelmonew";

// Log texts shared by the engine and the add-on deployment.
inline constexpr const wchar_t* kLogFolderNull = L"The input folder path is null.";
inline constexpr const wchar_t* kLogEnginePath = L"Engine Path is:";
inline constexpr const wchar_t* kLogEngineVersion = L"Engine Version is:";
inline constexpr const wchar_t* kLogInstallPath = L"wsModuleInstallPath is:";
inline constexpr const wchar_t* kLogInstallPathWow64 = L"wsModuleInstallPathWow64 is:";
inline constexpr const wchar_t* kLogFileExists = L"The file has been exists.";
inline constexpr const wchar_t* kLogReplaceCutShort =
    L"The module file is shorter than the package's (a copy cut short); it is replaced: ";
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
