// UTF-16 <-> UTF-8 for the console and JSON output.
#pragma once

#include <string>

namespace qelmoctl {

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace qelmoctl
