// How the safety-net file is named: <system drive>\Windows\System32\<stem>.dat, the stem being the
// lowercase MD5 of LastLeaveTime's UTF-16LE units, or a fixed stem when LastLeaveTime cannot be
// read. Nothing here logs or touches the machine, so tools may use it alone.
#pragma once

#include <string>

namespace qelmo {

std::wstring SafetyNetStem(const std::wstring& lastLeaveTime);
// `lastLeaveTime` null: the fixed stem. `systemDrive` is "C:" (the system directory's first two
// characters).
std::wstring SafetyNetFilePathFor(const std::wstring& systemDrive,
                                  const std::wstring* lastLeaveTime);

}  // namespace qelmo
