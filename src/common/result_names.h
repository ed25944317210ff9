// Names of the plug-in's result codes, for people: qelmoctl, the tests, the campaigns and the
// bench print them from this one table.
#pragma once

#include <cstdint>
#include <string>

namespace qelmo {

// "DRV_OK" ... or "UNKNOWN" for a value outside the table.
const char* ResultName(uint32_t code);
// A code that Plugin_Interface_DriversDoAction may return (the status codes of the enumeration
// are not among them).
bool IsActionResult(uint32_t code);
// "DRV_OK (0x201a0001)".
std::string DescribeResult(uint32_t code);
// Success codes have 2 in their top nibble.
inline bool IsSuccess(uint32_t code) {
    return (code >> 28) == 0x2;
}

}  // namespace qelmo
