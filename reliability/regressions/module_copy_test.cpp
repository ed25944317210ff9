// A module file must never be visible under its final name before it is whole. An update killed
// while it copied the event add-on left the new version's KipEvt.dll partial under its name; the
// rerun found the file in place, skipped it, returned DRV_OK and kept the add-on key at the old
// version, for every later update of that version as well.
//
// A module is now copied beside its final name and renamed once whole. Each case puts the machine
// in the state an update of v1 -> v2 cut short during that copy leaves (v1 installed, a half or
// whole copy of v2's add-on beside its final name) and checks that the update run again ends with
// v2's add-on whole, recorded, and nothing left beside it.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/driver_state.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/plugin_host.h"
#include "common/handles.h"

namespace qelmo {
namespace {

constexpr const wchar_t* kV2ModuleVersion = L"6.0.2000";
constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qelmo";
// The name a module copy carries until it is whole (the plug-in's own suffix).
constexpr const wchar_t* kCopySuffix = L".qelmonew";

struct Case {
    const char* name;
    bool whole;  // the copy beside the final name holds the whole file
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

bool WritePrefix(const std::wstring& from, const std::wstring& to, bool whole) {
    std::string bytes;
    {
        const FileHandle in(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
        if (!in) return false;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(in.get(), buffer, sizeof buffer, &got, nullptr) && got)
            bytes.append(buffer, got);
    }
    if (!whole) bytes.resize(bytes.size() / 2);
    const FileHandle out(
        CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!out) return false;
    DWORD put = 0;
    return WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
           put == bytes.size();
}

class InterruptedModuleCopy : public ::testing::TestWithParam<Case> {
protected:
    test::MachineGuard guard_;
    test::PluginHost host_;
};

TEST_P(InterruptedModuleCopy, UpdateRunAgainPlacesAndRecordsTheWholeFile) {
    ASSERT_TRUE(host_.Loaded());
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);

    const test::DeployedModules v2 = test::ModulesOf(kV2ModuleVersion);
    const std::wstring source = test::PackageDir(L"v2") + L"\\AddOn\\KipEvt.dll";
    const std::wstring folder = v2.evt.substr(0, v2.evt.rfind(L'\\'));
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(WritePrefix(source, v2.evt + kCopySuffix, GetParam().whole));

    EXPECT_EQ(host_.Run(ACTION_UPDATE, test::PackageDir(L"v2")), DRV_OK);

    EXPECT_TRUE(test::SameBytes(v2.evt, source)) << "the add-on is not v2's whole file";
    EXPECT_FALSE(test::FileExists(v2.evt + kCopySuffix)) << "a copy is left beside the add-on";
    const test::RegValue recorded = test::ReadValue(
        HKEY_LOCAL_MACHINE, std::wstring(kServiceKey) + L"\\AddOn\\KipEvt", L"path");
    EXPECT_EQ(_wcsicmp(recorded.String().c_str(), v2.evt.c_str()), 0)
        << "recorded: " << test::Narrow(recorded.String());
    for (const std::wstring& old : test::ModulesOf(L"6.0.1035").All())
        EXPECT_FALSE(test::FileExists(old)) << test::Narrow(old) << " was not retired";
}

INSTANTIATE_TEST_SUITE_P(Modules, InterruptedModuleCopy,
                         ::testing::Values(Case{"HalfCopyBesideIt", false},
                                           Case{"WholeCopyBesideIt", true}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

// The rule that a module file in place is never replaced holds whatever its size (files shorter
// than the package's are covered by the system tests of the deployment).
class ModuleInPlace : public ::testing::Test {
protected:
    test::MachineGuard guard_;
    test::PluginHost host_;
};

TEST_F(ModuleInPlace, AFileLongerThanThePackagesIsKept) {
    ASSERT_TRUE(host_.Loaded());
    const test::DeployedModules v1 = test::ModulesOf(L"6.0.1035");
    const std::wstring folder = v1.evt.substr(0, v1.evt.rfind(L'\\'));
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    // The package's 64-bit add-on is larger than its 32-bit one: a different file, longer.
    const std::wstring longer = test::PackageDir(L"v1") + L"\\AddOn\\KipEvt64.dll";
    ASSERT_TRUE(CopyFileW(longer.c_str(), v1.evt.c_str(), FALSE));
    ASSERT_FALSE(test::SameBytes(v1.evt, test::PackageDir(L"v1") + L"\\AddOn\\KipEvt.dll"));

    EXPECT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    EXPECT_TRUE(test::SameBytes(v1.evt, longer)) << "a module file in place was replaced";
}

// An uninstall after a run cut short between a module's copy and its rename removes the module's
// folder now, leftover copy and all, instead of leaving it for a restart that cannot remove it.
TEST_F(ModuleInPlace, UninstallRemovesACopyLeftBesideAModule) {
    ASSERT_TRUE(host_.Loaded());
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    const test::DeployedModules v1 = test::ModulesOf(L"6.0.1035");
    ASSERT_TRUE(CopyFileW(v1.evt.c_str(), (v1.evt + kCopySuffix).c_str(), FALSE));

    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_OK);
    const std::wstring folder = v1.evt.substr(0, v1.evt.rfind(L'\\'));
    EXPECT_FALSE(test::FileExists(folder)) << test::Narrow(folder) << " stays";
    EXPECT_FALSE(test::PendingDeletionOf(test::PendingRenames(), folder));
}

}  // namespace
}  // namespace qelmo
