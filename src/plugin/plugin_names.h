// Facts of the plug-in boundary.
#pragma once

#include <windows.h>

namespace qelmo::plugin {

inline constexpr DWORD kPauseAfterRegistryFlagsMs = 1000;
inline constexpr const char* kUnknownVersion = "1.0";

}  // namespace qelmo::plugin
