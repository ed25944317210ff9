// UTF-16 <-> UTF-8, for console, JSON and test output. Text that does not convert gives an empty
// string.
#pragma once

#include <string>

namespace qelmo {

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace qelmo
