#include "support/plugin_host.h"

#include "support/fixtures.h"

namespace qelmo::test {

PluginHost::PluginHost() {
    Load(BinDir() + host::kPluginFile);
}

}  // namespace qelmo::test
