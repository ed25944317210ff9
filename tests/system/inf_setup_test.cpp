// INF install and uninstall through the prefix's setup API and service control manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/handles.h"
#include "service/inf_setup.h"
#include "service/service_control.h"
#include "service/service_names.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kQelmo = L"qelmo";
constexpr const wchar_t* kProbeKey = L"SOFTWARE\\QelmoInfProbe";

// An INF whose sections run but touch no service: install writes kProbeKey, uninstall removes it.
constexpr const char* kProbeInf =
    "[Version]\r\n"
    "Signature=\"$WINDOWS NT$\"\r\n"
    "[DefaultInstall]\r\n"
    "AddReg = Probe.AddReg\r\n"
    "[DefaultUninstall]\r\n"
    "DelReg = Probe.DelReg\r\n"
    "[Probe.AddReg]\r\n"
    "HKLM,\"SOFTWARE\\QelmoInfProbe\",Ran,0x10001,1\r\n"
    "[Probe.DelReg]\r\n"
    "HKLM,\"SOFTWARE\\QelmoInfProbe\"\r\n";

bool ServiceExists(const wchar_t* name) {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(OpenServiceW(scm.get(), name, SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

bool ProbeKeyExists() {
    RegKeyHandle key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProbeKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring DriversFile() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\system32\\drivers\\qelmo.sys";
}

struct Line {
    uint32_t level;
    std::wstring text;
};

void ExpectLines(const test::LogCapture& capture, const std::vector<Line>& expected) {
    ASSERT_EQ(capture.Calls().size(), expected.size()) << capture.Dump();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(capture.Calls()[i].text, expected[i].text) << "line " << i;
        EXPECT_EQ(capture.Calls()[i].level, expected[i].level) << "line " << i;
        EXPECT_EQ(capture.Calls()[i].source, L"source/drivermanage");
        EXPECT_EQ(capture.Calls()[i].category, L"QELMO Driver Installation");
    }
}

class InfSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = fs::path(temp) / (L"qelmo_inf_" + std::to_wstring(GetCurrentProcessId()));
        fs::create_directories(root_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProbeKey);
    }
    static void WriteFile(const fs::path& path, const char* text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }

    test::MachineGuard machine_;
    fs::path root_;
};

TEST_F(InfSetupTest, InstallCreatesTheServiceAndUninstallRemovesIt) {
    const std::wstring inf = test::PackageDir(L"v1") + L"\\qelmo.inf";
    {
        test::LogCapture capture;
        EXPECT_TRUE(_InstallDriverByInf(inf.c_str())) << capture.Dump();
        const int succeeded = capture.IndexOf(
            L"called InstallHinfSectionW() Succeed!, command line: DefaultInstall "
            L"128 " +
            inf);
        ASSERT_GE(succeeded, 0) << capture.Dump();
        EXPECT_EQ(capture.Calls()[succeeded].level, 2u);
        EXPECT_EQ(capture.Calls().front().text, L"==> _InstallDriverByInf,INF File Path: " + inf);
        EXPECT_EQ(capture.Calls().back().text, L"<== _InstallDriverByInf,");
    }
    EXPECT_TRUE(ServiceExists(kQelmo));
    EXPECT_TRUE(PathExists(DriversFile().c_str()));

    {
        test::LogCapture capture;
        EXPECT_TRUE(_UnInstallDriverByInf(inf.c_str()));
        ExpectLines(capture,
                    {{2, L"==> _UnInstallDriverByInf,"}, {2, L"<== _UnInstallDriverByInf,"}});
    }
    EXPECT_FALSE(ServiceExists(kQelmo));
    EXPECT_FALSE(PathExists(DriversFile().c_str()));
}

TEST_F(InfSetupTest, MissingInfPathIsRefused) {
    const std::wstring missing = (root_ / L"absent" / L"qelmo.inf").wstring();
    const wchar_t* paths[] = {nullptr, L"", missing.c_str()};
    for (const wchar_t* path : paths) {
        const std::string what = path ? "'" + test::Narrow(path) + "'" : "null";
        {
            test::LogCapture capture;
            EXPECT_FALSE(_InstallDriverByInf(path)) << what;
            ExpectLines(capture, {{2, std::wstring(L"==> _InstallDriverByInf,INF File Path: ") +
                                          (path ? path : L"(NULL)")},
                                  {5, L"Incorrect driver INF filepath."},
                                  {2, L"<== _InstallDriverByInf,"}});
        }
        {
            test::LogCapture capture;
            EXPECT_FALSE(_UnInstallDriverByInf(path)) << what;
            ExpectLines(capture, {{2, L"==> _UnInstallDriverByInf,"},
                                  {5, L"Incorrect driver INF filepath."},
                                  {2, L"<== _UnInstallDriverByInf,"}});
        }
    }
    EXPECT_FALSE(ServiceExists(kQelmo));
}

TEST_F(InfSetupTest, SectionThatCreatesNoServiceFailsAtTraceLevel) {
    const fs::path inf = root_ / L"qelmo.inf";
    WriteFile(inf, kProbeInf);
    {
        test::LogCapture capture;
        EXPECT_FALSE(_InstallDriverByInf(inf.c_str()));
        const test::LogCall* failed =
            capture.Find(L"called InstallHinfSectionW() Fail!, command line: DefaultInstall 128 " +
                         inf.wstring());
        ASSERT_NE(failed, nullptr) << capture.Dump();
        EXPECT_EQ(failed->level, 2u);
        EXPECT_NE(capture.Find(L"<== IsDriverExist,The service: qelmo does not exist"), nullptr);
        EXPECT_EQ(capture.Calls().back().text, L"<== _InstallDriverByInf,");
    }
    EXPECT_TRUE(ProbeKeyExists()) << "the install section did not run";
    EXPECT_FALSE(ServiceExists(kQelmo));

    // The uninstall reports only that its section ran.
    EXPECT_TRUE(_UnInstallDriverByInf(inf.c_str()));
    EXPECT_FALSE(ProbeKeyExists()) << "the uninstall section did not run";
}

// The setup command line holds 519 units. Cutting a longer one would hand the setup function a
// different path: here the first 500 units of the long INF path name another INF, one that installs
// qelmo, so running the cut line would install from a file nobody asked for. Such a path is
// refused like a missing one; a path that fits to the last unit is used whole.
//
// Wine's setup function installs nothing from an INF path much beyond 200 units (measured: 200
// works, 250 does not), so the install from the 500-unit path is seen only through the command
// line it logs, not through a service it creates.
TEST_F(InfSetupTest, PathThatDoesNotFitTheCommandLineIsRefused) {
    // A folder of 490 units: "<folder>\qelmo.inf" is exactly 500 units, and
    // "DefaultInstall 128 " + 500 units = 519 units, the most that fits.
    fs::path folder = root_;
    while (folder.wstring().size() < 490) {
        const size_t room = 490 - folder.wstring().size() - 1;
        folder /= std::wstring(std::min<size_t>(room, 100), L'd');
    }
    ASSERT_EQ(folder.wstring().size(), 490u);
    fs::create_directories(folder);
    const fs::path fitsInstall = folder / L"qelmo.inf";  // 500 units
    const fs::path fitsUninstall = folder / L"qel.inf";  // 498: "DefaultUninstall 128 " is 21
    const std::wstring package = test::PackageDir(L"v1");
    ASSERT_TRUE(CopyFileW((package + L"\\qelmo.inf").c_str(), fitsInstall.c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW((package + L"\\qelmo.sys").c_str(), (folder / L"qelmo.sys").c_str(), FALSE));
    WriteFile(fitsUninstall, kProbeInf);

    const fs::path longFolder = folder / (L"qelmo.inf_" + std::wstring(40, L'x'));
    fs::create_directories(longFolder);
    const fs::path tooLong = longFolder / L"qelmo.inf";
    WriteFile(tooLong, kProbeInf);
    ASSERT_EQ(fitsInstall.wstring().size(), 500u);
    ASSERT_EQ(fitsUninstall.wstring().size(), 498u);
    ASSERT_EQ(tooLong.wstring().substr(0, 500), fitsInstall.wstring());

    const std::vector<Line> refusedInstall = {
        {2, L"==> _InstallDriverByInf,INF File Path: " + tooLong.wstring()},
        {5, L"Incorrect driver INF filepath."},
        {2, L"<== _InstallDriverByInf,"}};
    const std::vector<Line> refusedUninstall = {{2, L"==> _UnInstallDriverByInf,"},
                                                {5, L"Incorrect driver INF filepath."},
                                                {2, L"<== _UnInstallDriverByInf,"}};
    {
        test::LogCapture capture;
        EXPECT_FALSE(_InstallDriverByInf(tooLong.c_str()));
        ExpectLines(capture, refusedInstall);
    }
    {
        test::LogCapture capture;
        EXPECT_FALSE(_UnInstallDriverByInf(tooLong.c_str()));
        ExpectLines(capture, refusedUninstall);
    }
    {
        // 21 + 500 units: one unit too many for the uninstall line.
        test::LogCapture capture;
        EXPECT_FALSE(_UnInstallDriverByInf(fitsInstall.c_str()));
        ExpectLines(capture, refusedUninstall);
    }
    EXPECT_FALSE(ServiceExists(kQelmo)) << "a cut command line ran another INF";
    EXPECT_FALSE(ProbeKeyExists());

    {
        // Exactly 519 units: the section runs with the whole path.
        test::LogCapture capture;
        _InstallDriverByInf(fitsInstall.c_str());
        EXPECT_NE(
            capture.FindContaining(L"command line: DefaultInstall 128 " + fitsInstall.wstring()),
            nullptr)
            << capture.Dump();
        EXPECT_EQ(capture.Find(L"Incorrect driver INF filepath."), nullptr);
    }
    EXPECT_TRUE(_UnInstallDriverByInf(fitsUninstall.c_str()));
}

}  // namespace
}  // namespace qelmo
