#include "config/safety_net_name.h"

#include <cstdint>
#include <vector>

#include "config/config_names.h"
#include "config/md5.h"

namespace qelmo {

std::wstring SafetyNetStem(const std::wstring& lastLeaveTime) {
    std::vector<uint8_t> bytes;
    bytes.reserve(lastLeaveTime.size() * 2);
    for (wchar_t unit : lastLeaveTime) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xff));
        bytes.push_back(static_cast<uint8_t>((unit >> 8) & 0xff));
    }
    return ToLowerHex(Md5Of(bytes.data(), bytes.size()));
}

std::wstring SafetyNetFilePathFor(const std::wstring& systemDrive,
                                  const std::wstring* lastLeaveTime) {
    std::wstring stem =
        lastLeaveTime ? SafetyNetStem(*lastLeaveTime) : std::wstring(config::kSafetyNetFixedStem);
    return systemDrive + config::kSafetyNetFolder + L"\\" + stem + config::kSafetyNetExtension;
}

}  // namespace qelmo
