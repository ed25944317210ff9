// Install, uninstall and the action batch end to end: helperQELMODriver.dll loaded as the host
// loads it, real fixture packages, Wine's real service manager, registry, setup API and files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/driver_names.h"
#include "config/safety_net.h"
#include "support/driver_state.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/plugin_host.h"

namespace qelmo {
namespace {

using test::FileExists;
using test::ReadValue;

const std::wstring kServiceKey = names::kServiceKey;
const std::wstring kParametersKey = names::kParametersKey;

using test::PendingDeletionOf;
using test::PendingRenames;

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host_.Loaded()); }
    test::MachineGuard guard_;
    test::PluginHost host_;
};

TEST_F(Lifecycle, InstallCreatesServiceModulesAndEveryValue) {
    test::LogCapture log;
    const std::wstring package = test::PackageDir(L"v1");
    ASSERT_EQ(host_.Run(ACTION_INSTALL, package, 5), DRV_OK) << log.Dump();

    bool exists = false;
    test::QelmoStatus(&exists);
    ASSERT_TRUE(exists);
    EXPECT_TRUE(test::StartQelmo());
    EXPECT_EQ(test::QelmoStatus(&exists).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    test::DeployedModules files = test::ModulesOf(L"6.0.1035");
    for (const auto& f : {files.kipmon64, files.kipmon, files.evt64, files.evt})
        EXPECT_TRUE(FileExists(f)) << test::Narrow(f);

    struct Dword {
        const wchar_t* key;
        const wchar_t* name;
        DWORD value;
    } dwords[] = {
        {names::kServiceKey, L"GHSwitch", 1},   {names::kServiceKey, L"ZrkFlags", 0},
        {names::kServiceKey, L"PermCount", 1},  {names::kServiceKey, L"RegCfgFlags", 0},
        {names::kParametersKey, L"GGCT", 3},    {names::kParametersKey, L"GGCS", 1},
        {names::kParametersKey, L"ALSN", 1200}, {names::kParametersKey, L"StatusCode", 9999}};
    for (const auto& d : dwords) {
        auto v = ReadValue(HKEY_LOCAL_MACHINE, d.key, d.name);
        EXPECT_TRUE(v.exists && v.type == REG_DWORD && v.Size() == 4) << test::Narrow(d.name);
        EXPECT_EQ(v.Dword(), d.value) << test::Narrow(d.name);
    }
    struct Sz {
        const std::wstring key;
        const wchar_t* name;
        std::wstring value;  // empty: only the type and the NUL-counting size are checked
    } strings[] = {
        {kServiceKey, L"QELMOSystemDiskName", L""},
        {kServiceKey, L"QELMOMonDll64Name", files.kipmon64},
        {kServiceKey, L"QELMOMonDllName", files.kipmon},
        {kServiceKey, L"QELMOMonDll64NameDev", L""},
        {kServiceKey, L"QELMOMonDllNameDev", L""},
        {kServiceKey + L"\\AddOn\\KipEvt64", L"path", files.evt64},
        {kServiceKey + L"\\AddOn\\KipEvt64", L"version", L"6.0.1035"},
        {kServiceKey + L"\\AddOn\\KipEvt64", L"devpath", L""},
        {kServiceKey + L"\\AddOn\\KipEvt", L"path", files.evt},
        {kServiceKey + L"\\AddOn\\KipEvt", L"version", L"6.0.1035"},
        {kServiceKey + L"\\AddOn\\KipEvt", L"devpath", L""},
    };
    for (const auto& s : strings) {
        auto v = ReadValue(HKEY_LOCAL_MACHINE, s.key, s.name);
        ASSERT_TRUE(v.exists) << test::Narrow(s.name);
        EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(v.Size(), (v.String().size() + 1) * 2) << test::Narrow(s.name);
        if (!s.value.empty()) {
            EXPECT_EQ(_wcsicmp(v.String().c_str(), s.value.c_str()), 0) << test::Narrow(s.name);
        }
    }
    auto dev = ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"QELMOMonDll64NameDev").String();
    EXPECT_THAT(test::Narrow(dev), ::testing::StartsWith("\\"));
    EXPECT_THAT(test::Narrow(dev), ::testing::EndsWith("\\KipMon\\6.0.1035\\kipmon64.dll"));

    auto stamp = ReadValue(HKEY_LOCAL_MACHINE, kParametersKey, L"LastLeaveTime");
    EXPECT_EQ(stamp.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stamp.Size(), 38u);
    EXPECT_EQ(stamp.String().size(), 19u);

    struct Line {
        uint32_t level;
        std::wstring text;
    } lines[] = {
        {2, L"==> DoActionFromDrvInfo,rDrvInfo.action = 0, rDrvInfo.compare_state = 0x5"},
        {2, L"==> InstallDrvFromDrvInfo,"},
        {2, L"rDrvInfo.wszDriverPath = " + package},
        {2, L"wszNormalDriverFolder = " + package},
        {2, L"Success to install [qelmo] service."},
        {2, L"<== InstallDrvFromDrvInfo,"},
        {2, L"[ConfigRegCfgFlagsByProduct] Write RegCfgFlags succeed: 0"},
        {2, L"<== DoActionFromDrvInfo,asStatus = 0x201a0001"},
    };
    int last = -1;
    for (const auto& l : lines) {
        int at = log.IndexOf(l.text);
        ASSERT_GE(at, 0) << test::Narrow(l.text) << "\n" << log.Dump();
        EXPECT_GT(at, last) << "out of order: " << test::Narrow(l.text);
        const auto& call = log.Calls()[at];
        EXPECT_EQ(call.level, l.level);
        EXPECT_EQ(call.category, L"QELMO Driver Installation");
        EXPECT_EQ(call.source, L"source/helperQELMODriver");
        last = at;
    }
}

TEST_F(Lifecycle, ReinstallOfTheSameVersionCopiesAndRemovesNothingAndKeepsOtherFlagBits) {
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    RegKeyHandle key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, KEY_SET_VALUE, key.put()),
              0);
    DWORD flags = 0x13;
    RegSetValueExW(key.get(), L"RegCfgFlags", 0, REG_DWORD, reinterpret_cast<BYTE*>(&flags), 4);
    test::DeployedModules files = test::ModulesOf(L"6.0.1035");
    // A module held open by another process must not matter: nothing is retired.
    FileHandle held(CreateFileW(files.kipmon64.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    auto pendingBefore = PendingRenames();

    test::LogCapture log;
    EXPECT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    held.reset();
    EXPECT_EQ(PendingRenames(), pendingBefore);
    for (const auto& f : {files.kipmon64, files.kipmon, files.evt64, files.evt})
        EXPECT_TRUE(FileExists(f));
    EXPECT_EQ(log.FindPrefix(L"Rename file("), nullptr);
    EXPECT_NE(log.FindPrefix(L"The file has been exists."), nullptr);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"RegCfgFlags").Dword(), 0x12u);
}

TEST_F(Lifecycle, InstallOverAnOlderVersionRetiresItsModules) {
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    test::DeployedModules v1 = test::ModulesOf(L"6.0.1035");
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v2")), DRV_OK);
    test::DeployedModules v2 = test::ModulesOf(L"6.0.2000");
    for (const auto& f : {v1.kipmon64, v1.kipmon, v1.evt64, v1.evt}) {
        EXPECT_FALSE(FileExists(f)) << test::Narrow(f);
        std::wstring folder = f.substr(0, f.rfind(L'\\'));
        EXPECT_FALSE(FileExists(folder)) << test::Narrow(folder);
    }
    for (const auto& f : {v2.kipmon64, v2.kipmon, v2.evt64, v2.evt})
        EXPECT_TRUE(FileExists(f));
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"PermCount").Dword(), 1u);
}

TEST_F(Lifecycle, LockedOldModuleIsMovedAsideOrScheduledWithItsFolder) {
    // A module still in use elsewhere cannot simply be deleted. Loaded as an image it can still
    // be renamed: it moves aside to <path>.<ticks>, which is deleted at restart. Held open without
    // delete sharing it cannot even be renamed: the path itself is deleted at restart.
    struct Case {
        const char* name;
        bool loadAsModule;
    } cases[] = {{"loaded as a module", true}, {"open without delete sharing", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        guard_.Restore();
        ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
        test::DeployedModules v1 = test::ModulesOf(L"6.0.1035");
        LibraryHandle loaded;
        FileHandle held;
        if (c.loadAsModule)
            loaded.reset(LoadLibraryExW(v1.kipmon64.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
        else
            held.reset(CreateFileW(v1.kipmon64.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(loaded || held);

        test::LogCapture log;
        ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v2")), DRV_OK);
        loaded.reset();
        held.reset();
        auto pending = PendingRenames();
        std::wstring listed;
        for (const auto& p : pending)
            listed += p + L"|";
        std::wstring folder = v1.kipmon64.substr(0, v1.kipmon64.rfind(L'\\'));
        EXPECT_TRUE(PendingDeletionOf(pending, folder)) << test::Narrow(listed);
        const auto* rename =
            log.FindPrefix(L"Rename file(" + v1.kipmon64 + L") failed. LastError = ");
        if (c.loadAsModule) {
            EXPECT_EQ(rename, nullptr) << log.Dump();
            bool aside = false;
            for (size_t i = 0; i + 1 < pending.size(); i += 2)
                aside = aside || (pending[i].rfind(L"\\??\\" + v1.kipmon64 + L".", 0) == 0 &&
                                  pending[i + 1].empty());
            EXPECT_TRUE(aside) << test::Narrow(listed);
            EXPECT_FALSE(FileExists(v1.kipmon64));  // the name is free for a new copy at once
        } else {
            ASSERT_NE(rename, nullptr) << log.Dump();
            EXPECT_EQ(rename->level, 3u);
            EXPECT_TRUE(PendingDeletionOf(pending, v1.kipmon64)) << test::Narrow(listed);
        }
        EXPECT_FALSE(FileExists(v1.evt64));  // unlocked files go at once
    }
}

TEST_F(Lifecycle, UninstallCountsDownWhileOtherInstallationsHoldTheDriver) {
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    RegKeyHandle key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, KEY_SET_VALUE, key.put()),
              0);
    DWORD two = 2;
    RegSetValueExW(key.get(), L"PermCount", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), 4);
    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_OK);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kServiceKey, L"PermCount").Dword(), 1u);
    bool exists = false;
    test::QelmoStatus(&exists);
    EXPECT_TRUE(exists);
    EXPECT_TRUE(FileExists(test::ModulesOf(L"6.0.1035").kipmon64));

    // The next uninstall removes the driver.
    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_OK);
    test::QelmoStatus(&exists);
    EXPECT_FALSE(exists);
}

TEST_F(Lifecycle, FullUninstallRemovesServiceModulesAndFolders) {
    struct Case {
        const char* name;
        bool deleteCount;
        DWORD count;
    } cases[] = {{"PermCount 1", false, 1}, {"PermCount 0", false, 0}, {"no PermCount", true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
        ASSERT_TRUE(test::StartQelmo());
        RegKeyHandle key;
        ASSERT_EQ(
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, KEY_SET_VALUE, key.put()), 0);
        if (c.deleteCount)
            RegDeleteValueW(key.get(), L"PermCount");
        else
            RegSetValueExW(key.get(), L"PermCount", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&c.count), 4);

        test::LogCapture log;
        EXPECT_EQ(host_.Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_OK) << log.Dump();
        bool exists = true;
        for (int i = 0; i < 50 && exists; ++i) {
            test::QelmoStatus(&exists);
            if (exists) Sleep(100);
        }
        EXPECT_FALSE(exists);
        EXPECT_FALSE(FileExists(test::DriversDir() + L"\\qelmo.sys"));
        EXPECT_FALSE(FileExists(test::SystemDir() + L"\\qelmo"));
        EXPECT_FALSE(FileExists(test::Wow64Dir() + L"\\qelmo"));
        EXPECT_EQ(log.Find(L"WaitForServiceState(SERVICE_RUNNING) timeout!"), nullptr);
        guard_.Restore();
    }
}

TEST_F(Lifecycle, UninstallWhoseInfCannotRunAbortsAfterRemovingTheModules) {
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    test::PackageCopy noInf(L"v1");
    ASSERT_TRUE(DeleteFileW(noInf.File(L"qelmo.inf").c_str()));
    test::LogCapture log;
    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, noInf.Path()), DRV_ERR_ABORT);
    const auto* line = log.Find(L"fail to uninstall qelmo by inf.");
    ASSERT_NE(line, nullptr) << log.Dump();
    EXPECT_EQ(line->level, 5u);
    for (const auto& f : test::ModulesOf(L"6.0.1035").All())
        EXPECT_FALSE(FileExists(f));
    bool exists = false;
    test::QelmoStatus(&exists);
    EXPECT_TRUE(exists);  // the service stays for a later uninstall with a proper package
}

TEST_F(Lifecycle, UninstallOfAMissingDriverTouchesNothing) {
    test::LogCapture log;
    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_ERR_FAILED);
    EXPECT_EQ(log.FindPrefix(L"==> _UnInstallDriverByInf"), nullptr);
    EXPECT_FALSE(FileExists(test::SystemDir() + L"\\qelmo"));
}

TEST_F(Lifecycle, UninstallRefusesWhenTheRunningDriverCannotBeStopped) {
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    ASSERT_TRUE(test::StartQelmo());
    // A live instance of the driver's companion holds its mailslot: stopping is refused.
    FileHandle slot(CreateMailslotW(L"\\\\.\\mailslot\\qelmo_INSTANCE0", 0, 0, nullptr));
    ASSERT_TRUE(slot);
    test::LogCapture log;
    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_ERR_STOP_FAILED);
    slot.reset();
    const auto* line = log.Find(L"fail to stop original driver qelmo");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 5u);
    bool exists = false;
    EXPECT_EQ(test::QelmoStatus(&exists).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(FileExists(test::ModulesOf(L"6.0.1035").kipmon64));
}

TEST_F(Lifecycle, UninstallResetsTheSafetyNetFirst) {
    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    // A stamp from long ago: the uninstall's own stamp differs from it without waiting.
    const std::wstring oldStamp = L"2001-02-03 04:05:06";
    {
        RegKeyHandle key;
        ASSERT_EQ(
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kParametersKey, 0, KEY_SET_VALUE, key.put()),
            0);
        DWORD code = 1;
        RegSetValueExW(key.get(), L"StatusCode", 0, REG_DWORD, reinterpret_cast<BYTE*>(&code), 4);
        RegSetValueExW(key.get(), L"LastLeaveTime", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(oldStamp.c_str()),
                       static_cast<DWORD>(oldStamp.size() * sizeof(wchar_t)));
    }
    std::wstring oldPath;
    ASSERT_EQ(GetSafetyNetFilePath(oldPath), 0u);
    {
        FileHandle file(
            CreateFileW(oldPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
    }
    ASSERT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParametersKey, L"LastLeaveTime").String(), oldStamp);
    // Keep the driver installed so the values stay readable afterwards.
    {
        RegKeyHandle serviceKey;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, KEY_SET_VALUE,
                                serviceKey.put()),
                  0);
        DWORD two = 2;
        RegSetValueExW(serviceKey.get(), L"PermCount", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two),
                       4);
    }

    EXPECT_EQ(host_.Run(ACTION_UNINSTALL, test::PackageDir(L"v1")), DRV_OK);
    EXPECT_FALSE(FileExists(oldPath));
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParametersKey, L"StatusCode").Dword(), 9999u);
    auto newStamp = ReadValue(HKEY_LOCAL_MACHINE, kParametersKey, L"LastLeaveTime");
    EXPECT_EQ(newStamp.Size(), 38u);
    EXPECT_NE(newStamp.String(), oldStamp);
}

TEST_F(Lifecycle, BatchRunsInOrderStopsAtAbortAndReturnsTheLastResult) {
    test::PackageCopy noInf(L"v1");
    ASSERT_FALSE(noInf.Path().empty());
    ASSERT_TRUE(DeleteFileW(noInf.File(L"qelmo.inf").c_str()));

    EXPECT_EQ(host_.DoAction(nullptr, 0), DRV_ERR_ABORT);
    {
        test::LogCapture log;
        EXPECT_EQ(host_.DoAction(nullptr, 3), DRV_ERR_ABORT);
        const auto* line = log.FindPrefix(L"The driver record array is null");
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(line->level, 5u);
    }
    {
        // failed, then succeeded: the batch reports the last result
        test::LogCapture log;
        std::vector<DrvInfo> records = {test::MakeRecord(7, test::PackageDir(L"v1")),
                                        test::MakeRecord(ACTION_INSTALL, test::PackageDir(L"v1"))};
        EXPECT_EQ(host_.DoAction(records), DRV_OK);
        // the unknown action wrote only its entry and exit lines
        int entry = log.IndexOf(
            L"==> DoActionFromDrvInfo,rDrvInfo.action = 0x7, rDrvInfo.compare_state = 0");
        ASSERT_GE(entry, 0);
        EXPECT_EQ(log.Calls()[entry + 1].text, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000a");
    }
    {
        // an install whose INF step fails aborts the batch: the third record is never looked at
        test::LogCapture log;
        std::vector<DrvInfo> records = {
            test::MakeRecord(ACTION_INSTALL, test::PackageDir(L"v1")),
            test::MakeRecord(ACTION_INSTALL, noInf.Path()),
            test::MakeRecord(ACTION_UNINSTALL, test::PackageDir(L"v1"))};
        EXPECT_EQ(host_.DoAction(records), DRV_ERR_ABORT);
        EXPECT_EQ(log.FindPrefix(L"==> UninstallDrvFromDrvInfo"), nullptr);
        EXPECT_NE(log.Find(L"Installation failed, skipping registry configuration. Error status: "
                           L"0xe01a000c"),
                  nullptr);
    }
}

TEST_F(Lifecycle, PathsThatCannotBeHandledFailCleanly) {
    struct Case {
        const char* name;
        uint32_t action;
        bool terminated;
        size_t length;
    } cases[] = {
        {"install, no NUL in the field", ACTION_INSTALL, false, 0},
        {"uninstall, no NUL in the field", ACTION_UNINSTALL, false, 0},
        {"update, no NUL in the field", ACTION_UPDATE, false, 0},
        {"install, 300 characters", ACTION_INSTALL, true, 300},
        {"uninstall, 300 characters", ACTION_UNINSTALL, true, 300},
        {"install, 1023 characters", ACTION_INSTALL, true, 1023},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DrvInfo record = test::MakeRecord(c.action, L"");
        wmemset(record.wszDriverPath, L'a', QELMO_DRIVER_PATH_UNITS);
        if (c.terminated) record.wszDriverPath[c.length] = L'\0';
        test::LogCapture log;
        EXPECT_EQ(host_.DoAction(&record, 1), DRV_ERR_FAILED);
        if (!c.terminated) {
            const auto* line =
                log.FindPrefix(L"The driver path in the record has no terminating NUL");
            ASSERT_NE(line, nullptr);
            EXPECT_EQ(line->level, 5u);
        } else {
            EXPECT_NE(log.Find(L"Normalize the driver path failed."), nullptr);
        }
    }
    EXPECT_FALSE(FileExists(test::SystemDir() + L"\\qelmo"));
}

TEST_F(Lifecycle, StatusReportFollowsTheService) {
    test::LogCapture log;
    const host::StatusReport report = host_.ReadStatus();
    EXPECT_EQ(report.result, DRV_OK);
    EXPECT_EQ(report.calls, 1);
    DrvStatusInfo s = report.info;
    EXPECT_EQ(s.driver_id, 0x48000165u);
    EXPECT_EQ(s.valid, 1);
    EXPECT_EQ(s.state, DRV_STATE_UNKNOWN);
    EXPECT_STREQ(s.szVersion, "1.0");
    const auto* line = log.Find(L"Query driver qelmo status failed!");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 3u);
    EXPECT_EQ(log.FindPrefix(L"Query Version of driver: "), nullptr);

    ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(L"v1")), DRV_OK);
    s = host_.ReadStatus().info;
    EXPECT_EQ(s.state, DRV_STATE_NOT_RUNNING);
    EXPECT_STREQ(s.szVersion, "2.9.1234");
    ASSERT_TRUE(test::StartQelmo());
    s = host_.ReadStatus().info;
    EXPECT_EQ(s.state, DRV_STATE_RUNNING);
    EXPECT_STREQ(s.szVersion, "2.9.1234");

    // Running, but its file gone from the drivers folder: the real state, version "1.0".
    std::wstring driver = test::DriversDir() + L"\\qelmo.sys";
    std::wstring aside = driver + L".aside";
    ASSERT_TRUE(MoveFileW(driver.c_str(), aside.c_str()));
    log.Clear();
    s = host_.ReadStatus().info;
    MoveFileW(aside.c_str(), driver.c_str());
    EXPECT_EQ(s.state, DRV_STATE_RUNNING);
    EXPECT_STREQ(s.szVersion, "1.0");
    EXPECT_NE(log.Find(L"Query driver qelmo version failed!"), nullptr);
    EXPECT_NE(log.Find(L"Query Version failed, driver: " + driver), nullptr);
}

}  // namespace
}  // namespace qelmo
