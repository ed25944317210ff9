// Where the built fixtures are: everything lands beside the test programs in bin/.
#pragma once

#include <windows.h>

#include <string>

namespace qelmo::test {

// The folder of the running test program, with a trailing backslash.
std::wstring BinDir();
// A fixture driver package folder built by tests/fixtures (bin\packages\<name>), no trailing '\'.
std::wstring PackageDir(const std::wstring& name);

}  // namespace qelmo::test
