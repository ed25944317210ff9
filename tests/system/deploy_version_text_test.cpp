// Version texts as module resources carry them: read from every translation, and used as a folder
// name only when they are one. The modules here get their version resource written at run time
// (UpdateResourceW on a copy of a module without one), so any text and translation table can be
// tried.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "deploy/addon_deploy.h"
#include "deploy/file_utils.h"
#include "deploy/module_deploy.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/version_resource.h"

namespace qelmo {
namespace {

using test::LogCapture;
using test::Narrow;

using test::StringTable;
using test::VersionResource;
using test::WriteModule;

constexpr std::pair<WORD, WORD> kEnglish{0x409, 1200};
constexpr std::pair<WORD, WORD> kGerman{0x407, 1200};

// A translation whose query finds nothing leaves the text an earlier one found.
TEST(GetFileVersionTranslations, AFailedQueryNeverReplacesAFoundText) {
    test::PackageCopy scratch(L"v1");
    ASSERT_FALSE(scratch.Path().empty());
    const std::wstring module = scratch.File(L"crafted.dll");
    struct Case {
        const char* name;
        std::vector<StringTable> tables;
        std::vector<std::pair<WORD, WORD>> translations;
        int result;
        std::wstring version;
    } cases[] = {
        {"later translation missing",
         {{L"040904b0", L"1.0.0.1"}},
         {kEnglish, kGerman},
         1,
         L"1.0.0.1"},
        {"earlier translation missing",
         {{L"040704b0", L"2.0.0.2"}},
         {kEnglish, kGerman},
         1,
         L"2.0.0.2"},
        {"no translation has a table", {{L"040904b0", L"1.0.0.1"}}, {kGerman}, 0, L"untouched"},
        {"empty translation table", {{L"040904b0", L"1.0.0.1"}}, {}, 0, L"untouched"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteModule(module, VersionResource(c.tables, c.translations))) << c.name;
        std::wstring version = L"untouched";
        EXPECT_EQ(Utilities::GetFileVersion(module, version), c.result) << c.name;
        EXPECT_EQ(version, c.version) << c.name;
    }
}

// Texts that would reach outside the version folder, name none, or make the module paths too long
// for their buffers stop the deployment before a file is placed.
TEST(DeployVersionText, TextsThatAreNotOneFolderNameAreRefused) {
    test::MachineGuard guard;
    wchar_t system32[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(system32, MAX_PATH), 0u);
    const std::wstring owner = std::wstring(system32) + L"\\qelmo\\20019";
    const std::wstring texts[] = {L"..\\..\\escaped", L"..", L"", L"6.0/1035",
                                  std::wstring(240, L'7')};
    for (const std::wstring& text : texts) {
        guard.Restore();
        test::PackageCopy package(L"v1");
        ASSERT_FALSE(package.Path().empty());
        const auto resource = VersionResource({{L"040904b0", text}}, {kEnglish});
        const std::wstring placed = owner + L"\\KipMon\\" + text + L"\\kipmon64.dll";
        ASSERT_TRUE(WriteModule(package.File(L"kipmon64.dll"), resource)) << Narrow(text);
        ASSERT_TRUE(WriteModule(package.File(L"AddOn\\KipEvt64.dll"), resource)) << Narrow(text);

        LogCapture capture;
        DWORD copied = 0;
        EXPECT_EQ(BackupKipMon(package.Path().c_str(), &copied), 0) << Narrow(text);
        EXPECT_EQ(BackupAddOn(package.Path().c_str(), &copied), 0) << Narrow(text);
        EXPECT_FALSE(test::FileExists(std::wstring(system32) + L"\\escaped")) << Narrow(text);
        EXPECT_FALSE(test::FileExists(std::wstring(system32) + L"\\qelmo\\escaped"));
        EXPECT_FALSE(test::FileExists(owner + L"\\kipmon64.dll")) << Narrow(text);
        EXPECT_FALSE(test::FileExists(placed)) << Narrow(text);
        EXPECT_FALSE(test::FileExists(owner + L"\\AddOn\\KipEvt64.dll")) << Narrow(text);
        EXPECT_FALSE(test::ReadValue(HKEY_LOCAL_MACHINE,
                                     L"SYSTEM\\CurrentControlSet\\Services\\qelmo",
                                     L"QELMOMonDll64Name")
                         .exists)
            << Narrow(text) << "\n"
            << capture.Dump();
    }
}

}  // namespace
}  // namespace qelmo
