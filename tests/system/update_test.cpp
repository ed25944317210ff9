// The driver update end to end through the exports: every outcome reached under real conditions
// (failing, blocked and self-stopping drivers, instance mailslots, registry marks) and, where
// Wine cannot fail a copy on demand, through the installation library's fault switch.
#include <gtest/gtest.h>

#include <oxal_log.h>
#include <oxal_setup.h>

#include <cctype>
#include <functional>
#include <string>
#include <thread>

#include "common/handles.h"
#include "common/driver_names.h"
#include "support/driver_state.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/plugin_host.h"

namespace qelmo {
namespace {

using test::FileExists;
using test::ReadValue;

std::wstring PackageDriver(const std::wstring& package) {
    return package + L"\\qelmo.sys";
}

class DebugSwitch {
public:
    DebugSwitch() {
        DeleteFileW(Path().c_str());
        RegKeyHandle key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\ZRK", 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(),
                            nullptr) == ERROR_SUCCESS) {
            DWORD on = 1;
            RegSetValueExW(key.get(), L"DebugLogFlags", 0, REG_DWORD, reinterpret_cast<BYTE*>(&on),
                           4);
        }
    }
    ~DebugSwitch() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor");
        DeleteFileW(Path().c_str());
    }
    static std::wstring Path() { return test::BinDir() + L"ZRKHelperDebug.log"; }
    static std::string Text() { return test::ReadFileText(Path()); }
};

class Update : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host_.Loaded());
        OxalSetup_SetFaults(L"");
    }
    void TearDown() override { OxalSetup_SetFaults(L""); }

    // Installs the original package and starts it when asked (and when it can run at all).
    void InstallOriginal(const wchar_t* package, bool start) {
        ASSERT_EQ(host_.Run(ACTION_INSTALL, test::PackageDir(package)), DRV_OK);
        if (start) {
            ASSERT_TRUE(test::StartQelmo());
        }
    }

    // The drivers folder holds one package's driver file, whole; the backup is gone.
    void ExpectDriverOf(const std::wstring& package, const std::wstring& newPackage) {
        EXPECT_TRUE(test::SameBytes(test::InstalledDriverFile(), PackageDriver(package)))
            << "the installed driver is not the whole file of " << test::Narrow(package);
        EXPECT_FALSE(FileExists(newPackage + L"\\qelmo_backup.sys"));
    }

    test::MachineGuard guard_;
    test::PluginHost host_;
};

TEST_F(Update, ReplacesTheRunningDriverAndRetiresTheOldModules) {
    struct Case {
        uint32_t action;
        bool compareStateLine;
    } cases[] = {{ACTION_UPDATE, true}, {ACTION_UPDATE_ALT, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        guard_.Restore();
        InstallOriginal(L"v1", true);
        test::SetServiceDword(names::kRegCfgFlags, 0x7);
        test::SetServiceDword(names::kStatusCode, 1, names::kParametersSubkey);
        test::PackageCopy v2(L"v2");
        test::LogCapture log;
        ASSERT_EQ(host_.Run(c.action, v2.Path(), 9), DRV_OK) << log.Dump();

        ExpectDriverOf(v2.Path(), v2.Path());
        bool exists = false;
        EXPECT_EQ(test::QelmoStatus(&exists).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        for (const auto& f : test::ModulesOf(L"6.0.2000").All())
            EXPECT_TRUE(FileExists(f));
        for (const auto& f : test::ModulesOf(L"6.0.1035").All())
            EXPECT_FALSE(FileExists(f));
        EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, names::kServiceKey, L"RegCfgFlags").Dword(), 6u);
        EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, names::kParametersKey, L"StatusCode").Dword(),
                  9999u);
        const DrvStatusInfo status = host_.ReadStatus().info;
        EXPECT_EQ(status.state, DRV_STATE_RUNNING);
        EXPECT_STREQ(status.szVersion, "2.9.2000");

        const std::wstring drivers = test::DriversDir() + L"\\";
        const std::wstring package = v2.Path() + L"\\";
        std::vector<std::wstring> story = {
            L"[ConfigRegCfgFlagsByProduct] Write RegCfgFlags succeed: 0x6",
            L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
            L"pwszServiceName=qelmo, bRestrictAct=0",
            L"==> UpdateDrvFromDrvInfo,",
            L"Check if the driver is exist: qelmo",
            L"Check qelmo is installed by other Vantor products?",
            L"backup original driver file from: " + drivers + L" to " + package,
            L"backup old drivers from: " + drivers + L"qelmo.sys to " + package +
                L"qelmo_backup.sys",
            L"replace original driver file with new ones from: " + package + L" to " + drivers,
            L"query original driver to ensure original drivers was stopped: qelmo",
            L"original driver was already stopped: qelmo",
            L"Success to start new driver: qelmo",
            L"<== UpdateDrvFromDrvInfo,asStatus = 0x201a0001",
            L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
            L"pwszServiceName=qelmo, bRestrictAct=1",
        };
        if (c.compareStateLine)
            story.insert(story.begin() + 2, L"rDrvInfo.compare_state = 0x9");
        else
            EXPECT_EQ(log.FindPrefix(L"rDrvInfo.compare_state = "), nullptr);
        int last = -1;
        for (const auto& line : story) {
            int at = log.IndexOf(line, last + 1);
            ASSERT_GT(at, last) << "missing or out of order: " << test::Narrow(line) << "\n"
                                << log.Dump();
            last = at;
        }
        EXPECT_EQ(log.FindPrefix(L"qelmo is installed by other Vantor products"), nullptr);
    }
}

// One row per outcome of the update. V is the installed original, W the new package.
struct Outcome {
    const char* name;
    const wchar_t* original;
    bool startOriginal;
    const wchar_t* update;
    const wchar_t* faults;         // Copy calls: 1 backup, 2 replace, 3 rollback
    std::function<void()> before;  // extra setup right before the update
    uint32_t status;
    bool newFileInPlace;  // W's driver file (else V's) afterwards
    DWORD stateAfter;     // SERVICE_RUNNING or SERVICE_STOPPED
    std::vector<std::wstring> lines;
    bool holdInstanceMailslot = false;  // a live instance refuses the stop
    std::vector<std::wstring> absentLines = {};
    bool logToFile = false;  // the log library writes every line to a real file
};

void PrintTo(const Outcome& outcome, std::ostream* os) {
    *os << outcome.name;
}

class UpdateOutcome : public Update, public ::testing::WithParamInterface<Outcome> {};

TEST_P(UpdateOutcome, EndsWithItsStatusAndAWholeDriverFile) {
    const Outcome& o = GetParam();
    InstallOriginal(o.original, o.startOriginal);
    test::PackageCopy w(o.update);
    DebugSwitch debug;
    FileHandle slot;
    if (o.before) o.before();
    if (o.holdInstanceMailslot)
        slot.reset(CreateMailslotW(L"\\\\.\\mailslot\\qelmo_INSTANCE3", 0, 0, nullptr));
    OxalSetup_SetFaults(o.faults);

    test::LogCapture log;
    const std::wstring logFile = test::BinDir() + L"update_outcome.log";
    DeleteFileW(logFile.c_str());
    if (o.logToFile) OxalLog_SetOutput(logFile.c_str());
    uint32_t status = host_.Run(ACTION_UPDATE, w.Path());
    OxalLog_SetOutput(nullptr);
    slot.reset();
    OxalSetup_SetFaults(L"");
    EXPECT_EQ(status, o.status) << log.Dump();

    ExpectDriverOf(o.newFileInPlace ? w.Path() : test::PackageDir(o.original), w.Path());
    bool exists = false;
    EXPECT_EQ(test::QelmoStatus(&exists).dwCurrentState, o.stateAfter);
    EXPECT_TRUE(exists);
    for (const auto& line : o.lines) {
        if (line.rfind(L"debug:", 0) == 0) {
            EXPECT_NE(DebugSwitch::Text().find(test::Narrow(line.substr(6))), std::string::npos)
                << DebugSwitch::Text();
            continue;
        }
        EXPECT_NE(log.Find(line), nullptr) << test::Narrow(line) << "\n" << log.Dump();
    }
    for (const auto& line : o.absentLines)
        EXPECT_EQ(log.Find(line), nullptr) << test::Narrow(line) << "\n" << log.Dump();
    if (o.logToFile) {
        const std::string written = test::ReadFileText(logFile);
        DeleteFileW(logFile.c_str());
        EXPECT_NE(written.find("<== UpdateDrvFromDrvInfo,asStatus = 0x201a0001"), std::string::npos)
            << written;
    }
}

const wchar_t* const kStoppedDebugLine =
    L"debug:[helperQELMODriver] SERVICE_STOPPED! LastError is UNKNOWN_REVISION, return success to "
    L"OXAL!";

INSTANTIATE_TEST_SUITE_P(
    FailureTable, UpdateOutcome,
    ::testing::Values(
        Outcome{
            "new driver fails to start",
            L"v1",
            true,
            L"failstart",
            L"",
            nullptr,
            DRV_ERR_ROLLED_BACK,
            false,
            SERVICE_STOPPED,
            {L"fail to start new driver.qelmo", L"<== UpdateDrvFromDrvInfo,asStatus = 0xe01a000b"},
            false,
            {L"start original driver file failed."}},
        Outcome{"new driver is blocked",
                L"v1",
                true,
                L"blocked",
                L"",
                nullptr,
                DRV_ERR_ROLLED_BACK,
                false,
                SERVICE_STOPPED,
                {L"fail to start new driver.qelmo"},
                false,
                {L"start original driver file failed."}},
        Outcome{"new driver stops right after its start",
                L"svcrunning",
                true,
                L"stopsafterstart",
                L"",
                nullptr,
                DRV_OK,
                true,
                SERVICE_STOPPED,
                {L"fail to start new driver.qelmo", L"Not support on this platform.",
                 kStoppedDebugLine},
                false,
                {},
                true},
        Outcome{"running original cannot be stopped",
                L"v1",
                true,
                L"v2",
                L"",
                nullptr,
                DRV_OK_PENDING,
                false,
                SERVICE_RUNNING,
                {L"fail to stop original driver: qelmo",
                 L"<== UpdateDrvFromDrvInfo,asStatus = 0x201a0002"},
                true},
        Outcome{"backup copy fails",
                L"v1",
                true,
                L"v2",
                L"1:5",
                nullptr,
                DRV_ERR_ABORT,
                false,
                SERVICE_STOPPED,
                {L"Copy file failed.0x5", L"backup original driver file failed."}},
        Outcome{"replace fails, rollback and restart work",
                L"v1",
                true,
                L"v2",
                L"2:5",
                nullptr,
                DRV_ERR_ABORT,
                false,
                SERVICE_RUNNING,
                {L"replace original driver file with new ones failed.",
                 L"rollback to original driver file successfully."}},
        Outcome{"replace fails, restarted original stops at once (1305)",
                L"stopsafterstart",
                false,
                L"v2",
                L"2:5",
                nullptr,
                DRV_OK,
                false,
                SERVICE_STOPPED,
                {L"Not support on this platform.", kStoppedDebugLine}},
        Outcome{"replace fails, restarted original is blocked (1275)",
                L"blocked",
                false,
                L"v2",
                L"2:5",
                nullptr,
                DRV_OK,
                false,
                SERVICE_STOPPED,
                {L"Blocked by boot status."}},
        Outcome{"replace fails, restarted original fails otherwise",
                L"failstart",
                false,
                L"v2",
                L"2:5",
                nullptr,
                DRV_ERR_ROLLBACK_FAILED,
                false,
                SERVICE_STOPPED,
                {L"start original driver file failed."}},
        Outcome{"replace and rollback fail",
                L"v1",
                true,
                L"v2",
                L"2:5,3:5",
                nullptr,
                DRV_ERR_ROLLBACK_FAILED,
                false,
                SERVICE_STOPPED,
                {L"rollback to original driver file failed."}},
        Outcome{"new driver fails to start and the rollback fails",
                L"v1",
                true,
                L"failstart",
                L"3:32",
                nullptr,
                DRV_ERR_ROLLBACK_FAILED,
                true,
                SERVICE_STOPPED,
                {L"rollback to original driver file failed.", L"Copy file failed.0x20"}},
        Outcome{"ZrkFlags bit 0 leaves the new driver stopped",
                L"v1",
                true,
                L"v2",
                L"",
                [] { test::SetServiceDword(names::kZrkFlags, 0x3); },
                DRV_OK,
                true,
                SERVICE_STOPPED,
                {}},
        Outcome{"service marked for deletion is stopped and reinstalled",
                L"v1",
                true,
                L"v2",
                L"",
                [] { test::SetServiceDword(names::kDeleteFlag, 1); },
                DRV_OK,
                true,
                SERVICE_RUNNING,
                {L"The DeleteFlag indicates the service: qelmo was marked for deletion on reboot"}},
        Outcome{"service installed by another product is taken over",
                L"v1",
                true,
                L"v2",
                L"",
                [] { test::DeleteServiceValue(names::kPermCount); },
                DRV_OK,
                true,
                SERVICE_RUNNING,
                {L"qelmo is installed by other Vantor products, we should modify its registry."}}),
    [](const ::testing::TestParamInfo<Outcome>& info) {
        std::string name;
        for (char ch : std::string(info.param.name))
            name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST_F(Update, TakingOverAServiceCountsThisInstallationIn) {
    InstallOriginal(L"v1", true);
    test::DeleteServiceValue(names::kPermCount);
    test::PackageCopy v2(L"v2");
    ASSERT_EQ(host_.Run(ACTION_UPDATE, v2.Path()), DRV_OK);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, names::kServiceKey, L"PermCount").Dword(), 1u);
    // Our own installation is not taken over again: the count stays.
    ASSERT_EQ(host_.Run(ACTION_UPDATE, v2.Path()), DRV_OK);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, names::kServiceKey, L"PermCount").Dword(), 1u);
}

TEST_F(Update, MissingServiceIsReinstalledFromTheNewPackage) {
    InstallOriginal(L"v1", false);
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(scm.get(), L"qelmo", DELETE));
    ASSERT_TRUE(service && DeleteService(service.get()));
    service.reset();
    scm.reset();
    ASSERT_TRUE(test::WaitUntilServiceGone());

    test::PackageCopy v2(L"v2");
    test::LogCapture log;
    EXPECT_EQ(host_.Run(ACTION_UPDATE, v2.Path()), DRV_OK) << log.Dump();
    EXPECT_NE(log.Find(L"Success to install driver by INF"), nullptr);
    ExpectDriverOf(v2.Path(), v2.Path());
    bool exists = false;
    EXPECT_EQ(test::QelmoStatus(&exists).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(Update, DriverStartedAgainDuringTheReplaceLeavesTheUpdatePending) {
    // Someone starts the service between the replace and the check that the original is down.
    // The copy library holds the replace (its second call) until the test has started the service,
    // now running the new file.
    InstallOriginal(L"svcrunning", true);
    test::PackageCopy w(L"svcrunning2");
    KernelHandle copied(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    KernelHandle resume(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(copied && resume);
    OxalSetup_HoldAfter(2, copied.get(), resume.get());
    bool newFileStarted = false;
    std::thread starter([&] {
        if (WaitForSingleObject(copied.get(), 60000) == WAIT_OBJECT_0)
            newFileStarted =
                test::SameBytes(test::InstalledDriverFile(), PackageDriver(w.Path())) &&
                test::StartQelmo();
        SetEvent(resume.get());
    });
    test::LogCapture log;
    uint32_t status = host_.Run(ACTION_UPDATE, w.Path());
    starter.join();
    OxalSetup_HoldAfter(0, nullptr, nullptr);
    ASSERT_TRUE(newFileStarted) << log.Dump();
    EXPECT_EQ(status, DRV_OK_PENDING) << log.Dump();
    const auto* line = log.Find(L"original driver not yet stopped: qelmo");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->level, 5u);
    ExpectDriverOf(w.Path(), w.Path());  // the new file stays in place
}

TEST_F(Update, SameModuleVersionsKeepThePreviousModuleFiles) {
    InstallOriginal(L"v1", true);
    test::PackageCopy again(L"v1");
    EXPECT_EQ(host_.Run(ACTION_UPDATE, again.Path()), DRV_OK);
    for (const auto& f : test::ModulesOf(L"6.0.1035").All())
        EXPECT_TRUE(FileExists(f));
}

}  // namespace
}  // namespace qelmo
