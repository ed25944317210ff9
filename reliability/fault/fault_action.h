// One action of the plug-in run through its exports with the import table patched: what the
// fault-injection host and the campaign share.
#pragma once

#include <windows.h>

#include <qelmo_plugin.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fault/fault_hooks.h"
#include "host/plugin_library.h"

namespace qelmo::fault {

// The plug-in loaded from the program's folder with its import table patched.
class PatchedPlugin {
public:
    PatchedPlugin();
    ~PatchedPlugin();
    PatchedPlugin(const PatchedPlugin&) = delete;
    PatchedPlugin& operator=(const PatchedPlugin&) = delete;

    bool Loaded() const { return library_.Loaded(); }
    HMODULE Module() const { return library_.Module(); }
    const host::PluginLibrary& Library() const { return library_; }
    // System imports that no hook covers ("dll!name").
    const std::vector<std::string>& Unhooked() const { return unhooked_; }

private:
    host::PluginLibrary library_;
    std::vector<std::string> unhooked_;
};

// What one run of an action gave.
struct ActionRun {
    bool resultSeen = false;  // false: the action did not return (an exception left the export)
    uint32_t result = 0;
    bool escaped = false;  // an exception left the export
    std::vector<uint16_t> sequence;
    int faultFunction = -1;  // the function that was failed (-1: none)
    DWORD faultError = 0;
    int callbacks = -1;      // enumeration: how often the callback ran
    DrvStatusInfo status{};  // enumeration: what it saw
};

// Action names: install (v1), update (v2), uninstall (v1), enumerate, batch (install v1 + update
// v2). False for an unknown name.
bool IsActionName(const std::wstring& action);
// Runs `action` with `plan`. Kill plans end the process.
ActionRun RunAction(const PatchedPlugin& plugin, const std::wstring& action, const std::wstring& v1,
                    const std::wstring& v2, const Plan& plan);

// "pass", "once", "always", "kill" and back.
const wchar_t* ModeName(Mode mode);
Mode ParseMode(const std::wstring& text);

}  // namespace qelmo::fault
