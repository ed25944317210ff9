// Log categories and source ids: data that operators filter on, spelled once here.
#pragma once

namespace qelmo::logid {

// Categories.
inline constexpr const wchar_t* kCatInstall = L"QELMO Driver Installation";
inline constexpr const wchar_t* kCatUtil = L"Util COMMON";
inline constexpr const wchar_t* kCatAdapter = L"Plugin QELMO Adapter";

// Source ids (the component that produced a line; they are ids, not paths of this tree).
inline constexpr const wchar_t* kSrcHelper = L"source/helperQELMODriver";
inline constexpr const wchar_t* kSrcDriverManage = L"source/drivermanage";
inline constexpr const wchar_t* kSrcUtilities = L"source/Utilities";
inline constexpr const wchar_t* kSrcPriviRestrict =
    L"framework/utility/utilCommon/util_PriviRestrict";
inline constexpr const wchar_t* kSrcEnvironmentVar =
    L"framework/utility/utilCommon/util_EnvironmentVar";

// Levels.
inline constexpr unsigned kTrace = 2;
inline constexpr unsigned kWarn = 3;
inline constexpr unsigned kError = 5;

}  // namespace qelmo::logid
