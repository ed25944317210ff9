// Names of the plug-in's result codes, for people.
#pragma once

#include <cstdint>
#include <string>

namespace qelmoctl {

// "DRV_OK" ... or "UNKNOWN" for a value outside the table.
const char* ResultName(uint32_t code);
// "DRV_OK (0x201a0001)".
std::string DescribeResult(uint32_t code);
// Success codes have 2 in their top nibble.
inline bool IsSuccess(uint32_t code) {
    return (code >> 28) == 0x2;
}

}  // namespace qelmoctl
