// Version resources written at run time: a VS_VERSIONINFO block with any string tables and
// translation table, put into a copy of a module without one (UpdateResourceW).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace qelmo::test {

struct StringTable {
    const wchar_t* name;  // language and code page, e.g. "040904b0"
    std::wstring fileVersion;
};

// Translation entries are (language, code page) pairs, in table order.
std::vector<BYTE> VersionResource(const std::vector<StringTable>& tables,
                                  const std::vector<std::pair<WORD, WORD>>& translations);

// Copies the fixture module without version information to `path` and gives it this resource.
::testing::AssertionResult WriteModule(const std::wstring& path, const std::vector<BYTE>& resource);

}  // namespace qelmo::test
