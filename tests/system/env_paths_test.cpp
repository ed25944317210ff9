// Load-time facilities seen from a fresh process: where wintrust.dll comes from, and the
// environment-path table.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "common/handles.h"
#include "common/env_paths.h"
#include "support/child_process.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

// Runs `exe` and returns its standard output as name=value pairs.
std::map<std::wstring, std::wstring> RunProbe(const std::wstring& exe) {
    std::map<std::wstring, std::wstring> values;
    const test::ChildRun run = test::RunChild(exe, {}, 30000);
    if (!run.started) return values;
    const std::string& output = run.out;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=', 1);  // tokens start with '%', values may hold '='
        if (line.rfind("%", 0) == 0) eq = line.find("%=") + 1;
        if (eq != std::string::npos && eq > 0) {
            std::wstring name(line.begin(), line.begin() + static_cast<long>(eq));
            int n = MultiByteToWideChar(CP_ACP, 0, line.c_str() + eq + 1, -1, nullptr, 0);
            std::wstring value(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
            if (n > 1) MultiByteToWideChar(CP_ACP, 0, line.c_str() + eq + 1, -1, value.data(), n);
            values[name] = value;
        }
        start = end + 1;
    }
    return values;
}

class LoadTimeFacilities : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"qelmo_env_probe";
        test::RemoveTree(folder_);
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        host_ = folder_ + L"\\oxalHost.exe";
        ASSERT_TRUE(CopyFileW((test::BinDir() + L"env_probe.exe").c_str(), host_.c_str(), FALSE));
        for (const wchar_t* dll : {L"oxalLog.dll", L"oxalSetup.dll"})
            ASSERT_TRUE(
                CopyFileW((test::BinDir() + dll).c_str(), (folder_ + L"\\" + dll).c_str(), FALSE));
        // A planted wintrust.dll beside the host executable must never be the one bound.
        ASSERT_TRUE(CopyFileW((test::BinDir() + L"oxalSetup.dll").c_str(),
                              (folder_ + L"\\wintrust.dll").c_str(), FALSE));
    }
    void TearDown() override { test::RemoveTree(folder_); }
    std::wstring folder_, host_;
};

TEST_F(LoadTimeFacilities, WintrustComesFromTheSystemDirectoryAndTheTableIsFilled) {
    auto values = RunProbe(host_);
    ASSERT_FALSE(values.empty());
    std::wstring bound = values[L"wintrust"];
    EXPECT_EQ(_wcsicmp(bound.c_str(), (test::SystemDir() + L"\\wintrust.dll").c_str()), 0)
        << test::Narrow(bound);
    EXPECT_EQ(values.count(L"%PROMPT%"), 1u);
    EXPECT_EQ(values[L"%PROMPT%"], L"%PROMPT%");  // undefined: the token stays
    EXPECT_EQ(values[L"%oxal_dre_path%"], values[L"%oxal_vesta_path%"]);
    EXPECT_EQ(values[L"%APPDATA%"], GetSpecialFolderPath(0x23));
    EXPECT_EQ(values[L"%oxal_data_path%"], GetSpecialFolderPath(0x23) + L"\\Vantor\\Oxal\\");
    // No InstallDir in the registry: the host executable's folder, with its backslash.
    EXPECT_EQ(_wcsicmp(values[L"%oxal_install_path%"].c_str(), (folder_ + L"\\").c_str()), 0);
}

TEST_F(LoadTimeFacilities, InstallDirFromTheRegistryWins) {
    test::MachineGuard guard;  // removes HKLM\SOFTWARE\Vantor afterwards
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\OXAL", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, key.put(), nullptr),
              0);
    const wchar_t dir[] = L"C:\\Program Files\\Oxal\\";
    RegSetValueExW(key.get(), L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir),
                   sizeof dir);
    auto values = RunProbe(host_);
    EXPECT_EQ(values[L"%oxal_install_path%"], dir);
}

TEST(OxalInstallPath, HostExecutableFallbackAndItsLogLines) {
    struct Case {
        const wchar_t* host;
        const wchar_t* folder;
    } cases[] = {{L"C:\\P\\oxalHost.exe", L"C:\\P\\"},
                 {L"C:\\P\\other.exe", L""},
                 {L"C:\\P\\myoxalHost.exe", L""},
                 {L"C:\\P\\oxalhost.exe", L""}};  // the comparison is exact
    for (const auto& c : cases)
        EXPECT_EQ(OxalInstallPathFromHost(c.host), c.folder);

    test::MachineGuard guard;
    test::LogCapture log;
    EXPECT_EQ(GetOxalInstallPath(), L"");  // the test program is not oxalHost.exe
    const auto* line = log.Find(
        L"regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!key =SOFTWARE\\Vantor\\OXAL");
    ASSERT_NE(line, nullptr) << log.Dump();
    EXPECT_EQ(line->level, 5u);
    EXPECT_EQ(line->category, L"Util COMMON");
    EXPECT_EQ(line->source, L"framework/utility/utilCommon/util_EnvironmentVar");

    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\OXAL", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, key.put(), nullptr),
              0);
    log.Clear();
    EXPECT_EQ(GetOxalInstallPath(), L"");
    EXPECT_NE(log.Find(L"regKey.QueryValue() fail!\nkey =SOFTWARE\\Vantor\\OXAL,wstrItemName "
                       L"=InstallDir"),
              nullptr)
        << log.Dump();
}

}  // namespace
}  // namespace qelmo
