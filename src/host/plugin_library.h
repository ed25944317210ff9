// The host side of include/qelmo_plugin.h: helperQELMODriver.dll loaded from a path, its four
// exports bound with the header's own types, records made for them, the status report read back.
// qelmoctl, the tests, the reliability campaigns and the bench all load the plug-in through this.
#pragma once

#include <windows.h>

#include <qelmo_plugin.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/handles.h"

namespace qelmo::host {

// The plug-in's file name, as the build puts it beside the programs that load it.
inline constexpr wchar_t kPluginFile[] = L"helperQELMODriver.dll";

// The folder of the running program, with a trailing backslash: where the build puts the plug-in.
std::wstring ProgramFolder();

// The four exports, typed as qelmo_plugin.h declares them.
struct PluginExports {
    PFN_Plugin_Interface_DriversDoAction doAction = nullptr;
    PFN_Plugin_Interface_EnumerateDriversInfo enumerate = nullptr;
    PFN_Plugin_Interface_GetHelperOwnerModuleID ownerModuleId = nullptr;
    PFN_Plugin_Interface_GetModuleVersion moduleVersion = nullptr;

    bool Complete() const { return doAction && enumerate && ownerModuleId && moduleVersion; }
};

// What one call of the status export gave.
struct StatusReport {
    uint32_t result = 0;
    int calls = 0;         // how often the callback ran
    DrvStatusInfo info{};  // the record of its last call
};

// One record: the path is cut at QELMO_DRIVER_PATH_UNITS - 1 units and always ends in a NUL.
DrvInfo MakeRecord(uint32_t action, const std::wstring& folder, uint32_t compareState = 0);

class PluginLibrary {
public:
    PluginLibrary() = default;
    ~PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the DLL at `path` (made absolute; its imports are looked for in its own folder first)
    // and binds the four exports. True when it is loaded with all four; on false, Module() tells
    // whether the file loaded at all and LoadError() why not.
    bool Load(const std::wstring& path);
    // Binds nothing any more and unloads the DLL.
    void Unload();

    // The path Load was given, made absolute (as given when that failed).
    const std::wstring& Path() const { return path_; }
    HMODULE Module() const { return module_.get(); }
    // The error of the failed load (0 when the DLL loaded).
    DWORD LoadError() const { return loadError_; }
    // Loaded with all four exports bound.
    bool Loaded() const { return module_ && exports_.Complete(); }
    const PluginExports& Exports() const { return exports_; }

    // The exports, called as they are (Loaded() must be true).
    uint32_t DoAction(const DrvInfo* records, uint32_t count) const;
    uint32_t DoAction(const std::vector<DrvInfo>& records) const;
    // One record made with MakeRecord.
    uint32_t Run(uint32_t action, const std::wstring& folder, uint32_t compareState = 0) const;
    // The status export called with a callback that keeps what it is handed.
    StatusReport ReadStatus() const;

private:
    std::wstring path_;
    LibraryHandle module_;
    DWORD loadError_ = 0;
    PluginExports exports_;
};

}  // namespace qelmo::host
