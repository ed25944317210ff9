// The driver's status report: service state from the SCM, version from the driver file.
#pragma once

#include <windows.h>

#include <string>

namespace qelmo {

// Version of <system dir>\drivers\<name>.sys: {major, minor, 0, build} from the fixed file info.
BOOL QueryDriverVersion(const wchar_t* name, DWORD version[4]);
// "%d.%d.%d" of elements 0, 1 and 3.
std::string FormatDriverVersion(const DWORD version[4]);

}  // namespace qelmo
