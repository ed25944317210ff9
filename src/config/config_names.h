// Names, defaults and access masks of the driver configuration registry and the safety net.
// Key paths and value names shared with other subsystems live in common/driver_names.h.
#pragma once

#include <windows.h>

namespace qelmo::config {

// Access used when this subsystem opens the service key or the Parameters key itself.
inline constexpr REGSAM kParaKeyAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;  // 0x2001F
inline constexpr REGSAM kLastLeaveAccess = KEY_WRITE;                                    // 0x20006
inline constexpr REGSAM kParaCreateAccess = KEY_ALL_ACCESS;                              // 0xF003F

// Defaults of the Parameters key and the service-key stamps of an install.
inline constexpr DWORD kDefaultGGCT = 3;
inline constexpr DWORD kDefaultGGCS = 1;
inline constexpr DWORD kDefaultALSN = 1200;
inline constexpr DWORD kStatusCodeReset = 9999;
inline constexpr const wchar_t* kLastLeaveUndefined = L"undefined";
inline constexpr DWORD kGHSwitchOn = 1;
inline constexpr DWORD kZrkFlagsDefault = 0;

// LastLeaveTime text: local time, formatted into a buffer of this many units with truncation.
inline constexpr const wchar_t* kLastLeaveFormat = L"%04d-%02d-%02d %02d:%02d:%02d";
inline constexpr size_t kLastLeaveUnits = 64;

// Safety-net file: <system drive> + folder + "\" + stem + extension.
inline constexpr const wchar_t* kSafetyNetFolder = L"\\Windows\\System32";
inline constexpr const wchar_t* kSafetyNetFixedStem = L"j48bon7fggefsadiedd5566_23310837";
inline constexpr const wchar_t* kSafetyNetExtension = L".dat";

}  // namespace qelmo::config
