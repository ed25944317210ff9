// The plug-in as the host platform sees it: helperQELMODriver.dll loaded from bin\ and called
// through its four exports only.
#pragma once

#include "host/plugin_library.h"

namespace qelmo::test {

using host::MakeRecord;

// The plug-in beside the test program, loaded on construction.
class PluginHost : public host::PluginLibrary {
public:
    PluginHost();
};

}  // namespace qelmo::test
