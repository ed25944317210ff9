// The machine's system folders, as the deployment and the configuration registry look them up.
#pragma once

#include <string>

namespace qelmo {

// The system directory without a trailing backslash; empty when it cannot be read.
std::wstring GetSystem32Folder();
// The Windows directory + "\SysWOW64"; empty when it cannot be read or does not fit a path buffer.
std::wstring GetSysWow64Folder();
// True when the path and its terminating NUL fit in a path buffer (MAX_PATH units).
bool FitsPathBuffer(const std::wstring& path);

}  // namespace qelmo
