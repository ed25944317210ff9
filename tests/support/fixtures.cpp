#include "support/fixtures.h"

#include "host/plugin_library.h"

namespace qelmo::test {

std::wstring BinDir() {
    return host::ProgramFolder();
}

std::wstring PackageDir(const std::wstring& name) {
    return BinDir() + L"packages\\" + name;
}

}  // namespace qelmo::test
