// Log lines shared by the lifecycle operations.
#pragma once

#include "common/log.h"
#include "common/trace.h"

#define LIFECYCLE_LOG(level, ...) \
    QLOG(::qelmo::logid::kCatInstall, ::qelmo::logid::kSrcHelper, level, __VA_ARGS__)
#define LIFECYCLE_TRACE(name, ...)                                              \
    QTRACE_SCOPE(name, ::qelmo::logid::kCatInstall, ::qelmo::logid::kSrcHelper, \
                 ::qelmo::logid::kTrace, __VA_ARGS__)

namespace qelmo::lifecycle_text {
inline constexpr const wchar_t* kNormalizeFailed = L"Normalize the driver path failed.";
inline constexpr const wchar_t* kUnterminatedPath =
    L"The driver path in the record has no terminating NUL within its 1024 characters.";
inline constexpr const wchar_t* kRawPath = L"rDrvInfo.wszDriverPath = ";
inline constexpr const wchar_t* kNormalFolder = L"wszNormalDriverFolder = ";
inline constexpr const wchar_t* kKipMonFailed = L"Back up the KipMon failed.";
inline constexpr const wchar_t* kAddOnFailed = L"Back up the AddOn failed.";
inline constexpr const wchar_t* kFailToInstall = L"fail to install ";
// "The DeleteFlag indicates the service: " + name + " was marked for deletion on reboot"
inline constexpr const wchar_t* kDeleteFlagMarks = L"The DeleteFlag indicates the service: ";
inline constexpr const wchar_t* kMarkedOnReboot = L" was marked for deletion on reboot";
}  // namespace qelmo::lifecycle_text
