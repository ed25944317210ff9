// The plug-in as the host platform sees it: helperQELMODriver.dll loaded from bin\ and called
// through its four exports only.
#pragma once

#include <windows.h>

#include <qelmo_plugin.h>

#include <string>
#include <vector>

#include "common/handles.h"

namespace qelmo::test {

DrvInfo MakeRecord(uint32_t action, const std::wstring& path, uint32_t compareState = 0);

class PluginHost {
public:
    PluginHost();
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    bool Loaded() const { return static_cast<bool>(module_); }
    uint32_t DoAction(const DrvInfo* records, uint32_t count) const;
    uint32_t DoAction(const std::vector<DrvInfo>& records) const;
    uint32_t Run(uint32_t action, const std::wstring& path, uint32_t compareState = 0) const;
    // The status record the callback saw, and how often it was called.
    DrvStatusInfo Status(int* callbackCalls = nullptr, uint32_t* result = nullptr) const;

private:
    LibraryHandle module_;
    PFN_Plugin_Interface_DriversDoAction doAction_ = nullptr;
    PFN_Plugin_Interface_EnumerateDriversInfo enumerate_ = nullptr;
};

}  // namespace qelmo::test
