// The footprint model that the plug-in and qelmoctl share, held against the tests' own description
// of where things live, and the reading of the restart-time file operations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/footprint.h"
#include "support/layout.h"

namespace qelmo {
namespace {

namespace layout = test::layout;

TEST(Footprint, PathsHaveTheDocumentedShape) {
    struct Case {
        std::wstring built;
        const wchar_t* expected;
    } cases[] = {
        {footprint::DriversFolder(L"C:\\windows"), L"C:\\windows\\system32\\drivers\\"},
        // A Windows directory with its trailing backslash gets no second one.
        {footprint::DriversFolder(L"C:\\"), L"C:\\system32\\drivers\\"},
        {footprint::DriverFileInSystemFolder(L"C:\\windows\\system32", L"qelmo"),
         L"C:\\windows\\system32\\drivers\\qelmo.sys"},
        {footprint::DriverFileInSystemFolder(L"C:\\windows\\system32\\", L"qelmo"),
         L"C:\\windows\\system32\\drivers\\qelmo.sys"},
        {footprint::BackupFileName(L"qelmo"), L"qelmo_backup.sys"},
        {footprint::InfFileName(L"qelmo"), L"qelmo.inf"},
        {footprint::SysWow64FolderOf(L"C:\\windows"), L"C:\\windows\\SysWOW64"},
        {footprint::OwnerFolder(L"C:\\windows\\system32"), L"C:\\windows\\system32\\qelmo\\20019"},
        {footprint::ModuleFilePath(L"C:\\windows\\SysWOW64", footprint::kAddOnGroupFolder,
                                   L"6.0.1035", footprint::kKipEvt32File),
         L"C:\\windows\\SysWOW64\\qelmo\\20019\\AddOn\\6.0.1035\\KipEvt.dll"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.built, c.expected);
}

// Each module record of the model names the same package file, placed file, folder group,
// bitness and registry value as the tests' description, in the same order.
TEST(Footprint, ModuleRecordsMatchTheTestsDescription) {
    ASSERT_EQ(std::size(footprint::kModuleRecords), std::size(layout::kModules));
    for (size_t i = 0; i < std::size(layout::kModules); ++i) {
        const auto& record = footprint::kModuleRecords[i];
        const auto& expected = layout::kModules[i];
        SCOPED_TRACE(record.label);
        EXPECT_EQ(footprint::PackageFilePath(L"D:\\pkg", record),
                  std::wstring(L"D:\\pkg\\") + expected.packageFile);
        EXPECT_STREQ(record.fileName, expected.fileName);
        EXPECT_STREQ(record.group, expected.group);
        EXPECT_EQ(record.bitness == footprint::Bitness::k32, expected.wow64);
        EXPECT_STREQ(record.key, expected.key);
        EXPECT_STREQ(record.pathValue, expected.pathValue);
    }
}

// The stored value: each string followed by its NUL (the last one's dropped when `cutOff`), and
// an extra odd byte when asked.
std::vector<unsigned char> Stored(const std::vector<std::wstring>& strings, bool cutOff,
                                  bool oddByte) {
    std::wstring units;
    for (const auto& text : strings) {
        units += text;
        units += L'\0';
    }
    if (cutOff && !units.empty()) units.pop_back();
    std::vector<unsigned char> bytes;
    for (wchar_t unit : units) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>((unit >> 8) & 0xFF));
    }
    if (oddByte) bytes.push_back(0x41);
    return bytes;
}

TEST(PendingRenames, ReadPairByPairOverTheWholeValue) {
    using footprint::PendingRename;
    struct Case {
        const char* name;
        std::vector<std::wstring> strings;
        bool cutOff;
        bool oddByte;
        std::vector<PendingRename> expected;
    } cases[] = {
        {"a deletion, then a replace after its empty target",
         {L"\\??\\C:\\a", L"", L"\\??\\C:\\b", L"!\\??\\C:\\c", L""},
         false,
         false,
         {{L"C:\\a", L"", false, false}, {L"C:\\b", L"C:\\c", true, false}}},
        {"a rename without '!'",
         {L"\\??\\C:\\x", L"\\??\\C:\\y", L""},
         false,
         false,
         {{L"C:\\x", L"C:\\y", false, false}}},
        {"cut off after a source",
         {L"\\??\\C:\\a", L"", L"\\??\\C:\\b"},
         true,
         false,
         {{L"C:\\a", L"", false, false}, {L"C:\\b", L"", false, true}}},
        {"padding at the end and an odd last byte",
         {L"\\??\\C:\\a", L"", L"", L""},
         false,
         true,
         {{L"C:\\a", L"", false, false}}},
        {"empty", {}, false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = Stored(c.strings, c.cutOff, c.oddByte);
        const auto parsed = footprint::ParsePendingRenames(bytes.data(), bytes.size());
        ASSERT_EQ(parsed.size(), c.expected.size());
        for (size_t i = 0; i < parsed.size(); ++i) {
            EXPECT_EQ(parsed[i].source, c.expected[i].source);
            EXPECT_EQ(parsed[i].target, c.expected[i].target);
            EXPECT_EQ(parsed[i].replace, c.expected[i].replace);
            EXPECT_EQ(parsed[i].incomplete, c.expected[i].incomplete);
        }
    }
}

}  // namespace
}  // namespace qelmo
