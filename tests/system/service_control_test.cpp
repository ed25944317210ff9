// Service state control against the prefix's real service control manager.
//
// Kernel-driver paths use the test driver packages. Under Wine a kernel driver never shows
// START_PENDING, a wait hint or a checkpoint (StartServiceW blocks until DriverEntry returns, then
// the service reads RUNNING), so everything the wait loop does with pending states is shown with
// the own-process test service, whose states, hints and checkpoints its command line sets.
#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/debug_log.h"
#include "common/handles.h"
#include "service/service_control.h"
#include "service/service_names.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

constexpr const wchar_t* kQelmo = L"qelmo";
constexpr const wchar_t* kTestService = L"qelmo_svctest";

DWORD Elapsed(DWORD startTick) {
    return GetTickCount() - startTick;
}

// How often a wait polled: each poll that found no wanted state logs one line per wanted state,
// the first with loop counter 0. Counting polls instead of timing the wait keeps the test honest
// on a loaded machine, where a poll can only come later, never more often.
size_t Polls(const test::LogCapture& capture) {
    const std::wstring first = L"loop counter: 0";
    size_t polls = 0;
    for (const auto& call : capture.Calls())
        if (call.text.size() >= first.size() &&
            call.text.compare(call.text.size() - first.size(), first.size(), first) == 0)
            ++polls;
    return polls;
}

// The current state of a service; 0 when it cannot be queried.
DWORD StateOf(const wchar_t* name) {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(OpenServiceW(scm.get(), name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

// Registers "qelmo" as a demand-start kernel driver whose image is the package's qelmo.sys.
void InstallDriver(const wchar_t* package) {
    const std::wstring image = test::PackageDir(package) + L"\\qelmo.sys";
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm) << GetLastError();
    ScHandle service(CreateServiceW(
        scm.get(), kQelmo, kQelmo, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << "CreateServiceW: " << GetLastError();
}

// The own-process test service under its own name, with the given options on its command line.
// The fixture's machine guard stops and deletes it again.
class TestService {
public:
    explicit TestService(const std::wstring& options) {
        const std::wstring image =
            L"\"" + test::BinDir() + L"fixtures\\qelmo_test_service.exe\" " + options;
        ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScHandle service(CreateServiceW(scm.get(), kTestService, kTestService, SERVICE_ALL_ACCESS,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                        SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                        nullptr, nullptr, nullptr));
        created_ = static_cast<bool>(service);
        error_ = GetLastError();
    }

    bool Created() const { return created_; }
    DWORD Error() const { return error_; }

private:
    bool created_ = false;
    DWORD error_ = 0;
};

// What this process prints to its standard output while the capture lives.
class StdoutCapture {
public:
    StdoutCapture() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"qelmo_stdout_" + std::to_wstring(GetCurrentProcessId());
        fflush(stdout);
        int file = -1;
        _wsopen_s(&file, path_.c_str(), _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY, _SH_DENYNO,
                  _S_IREAD | _S_IWRITE);
        saved_ = _dup(1);
        if (file >= 0) {
            _dup2(file, 1);
            _close(file);
        }
    }
    ~StdoutCapture() {
        Restore();
        _wremove(path_.c_str());
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Ends the capture and returns what was printed.
    std::string Text() {
        Restore();
        std::ifstream in(path_.c_str(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        _dup2(saved_, 1);
        _close(saved_);
        saved_ = -1;
    }
    std::wstring path_;
    int saved_ = -1;
};

// Turns the local debug file on for the test and removes the file afterwards (the machine guard
// removes the switch with HKLM\SOFTWARE\Vantor).
class DebugFileOn {
public:
    DebugFileOn() : path_(GetHostModuleDirectory() + debuglog::kFileName) {
        DeleteFileW(path_.c_str());
        RegKeyHandle key;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, debuglog::kSwitchKey, 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
        const DWORD on = 1;
        RegSetValueExW(key.get(), debuglog::kSwitchValue, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&on), sizeof on);
    }
    ~DebugFileOn() { DeleteFileW(path_.c_str()); }
    DebugFileOn(const DebugFileOn&) = delete;
    DebugFileOn& operator=(const DebugFileOn&) = delete;

    std::string Contents() const {
        std::ifstream in(path_.c_str(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::wstring path_;
};

struct Line {
    uint32_t level;
    std::wstring text;
};

void ExpectLines(const test::LogCapture& capture, const std::vector<Line>& expected) {
    ASSERT_EQ(capture.Calls().size(), expected.size()) << capture.Dump();
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& call = capture.Calls()[i];
        EXPECT_EQ(call.text, expected[i].text) << "line " << i << "\n" << capture.Dump();
        EXPECT_EQ(call.level, expected[i].level) << "line " << i << "\n" << capture.Dump();
        EXPECT_EQ(call.category, L"QELMO Driver Installation");
        EXPECT_EQ(call.source, L"source/drivermanage");
    }
}

class ServiceControlTest : public ::testing::Test {
protected:
    test::MachineGuard machine_{{kTestService}};
};

// ---- kernel driver ----------------------------------------------------------

TEST_F(ServiceControlTest, StartRunsTheDriverAndStopStopsIt) {
    InstallDriver(L"v1");
    {
        test::LogCapture capture;
        ASSERT_TRUE(StartDriverService(kQelmo)) << GetLastError() << "\n" << capture.Dump();
        EXPECT_EQ(capture.Calls().front().text, L"==> StartDriverService,Driver Name:qelmo");
        EXPECT_EQ(capture.Calls().back().text, L"<== StartDriverService,bResult: 0x1");
        EXPECT_NE(capture.Find(L"<== WaitForServiceStateEx,Is Service Ok: 0x1"), nullptr);
    }
    EXPECT_EQ(StateOf(kQelmo), SERVICE_RUNNING);

    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryDriverServiceStatus(kQelmo, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

    EXPECT_TRUE(StopDriver(kQelmo)) << GetLastError();
    EXPECT_EQ(StateOf(kQelmo), SERVICE_STOPPED);
}

TEST_F(ServiceControlTest, StartingARunningDriverSucceedsWithoutWaiting) {
    InstallDriver(L"v1");
    ASSERT_TRUE(StartDriverService(kQelmo));

    test::LogCapture capture;
    SetLastError(0);
    EXPECT_TRUE(StartDriverService(kQelmo));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(capture.FindPrefix(L"==> WaitForServiceStateEx"), nullptr) << capture.Dump();
    EXPECT_EQ(StateOf(kQelmo), SERVICE_RUNNING);
    EXPECT_TRUE(StopDriver(kQelmo));
}

TEST_F(ServiceControlTest, StopIsRefusedWhileAnInstanceMailslotExists) {
    InstallDriver(L"v1");
    ASSERT_TRUE(StartDriverService(kQelmo));

    FileHandle slot(CreateMailslotW(L"\\\\.\\mailslot\\qelmo_INSTANCE3", 0, 0, nullptr));
    ASSERT_TRUE(slot) << GetLastError();
    {
        test::LogCapture capture;
        EXPECT_FALSE(StopDriver(kQelmo));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
        // No stop control and no wait: nothing at all was logged.
        EXPECT_TRUE(capture.Calls().empty()) << capture.Dump();
    }
    EXPECT_EQ(StateOf(kQelmo), SERVICE_RUNNING);

    slot.reset();
    EXPECT_TRUE(StopDriver(kQelmo)) << GetLastError();
    EXPECT_EQ(StateOf(kQelmo), SERVICE_STOPPED);
}

TEST_F(ServiceControlTest, StopOfAStoppedDriverFailsWithTheScmErrorOnTheConsole) {
    InstallDriver(L"v1");
    StdoutCapture console;
    const BOOL stopped = StopDriver(kQelmo);
    const DWORD error = GetLastError();
    const std::string printed = console.Text();
    EXPECT_FALSE(stopped);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(printed, "ControlService failed! function:StopDriver Error = 1062 \n");
}

TEST_F(ServiceControlTest, BlockedDriverFailsWith1275) {
    InstallDriver(L"blocked");
    test::LogCapture capture;
    StdoutCapture console;
    const BOOL started = StartDriverService(kQelmo);
    const DWORD error = GetLastError();
    const std::string printed = console.Text();

    EXPECT_FALSE(started);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DRIVER_BLOCKED));
    ExpectLines(capture, {{2, L"==> StartDriverService,Driver Name:qelmo"},
                          {5, L"ControlService failed! function:StartService, error code: 0x4fb"},
                          {2, L"<== StartDriverService,bResult: 0"}});
    EXPECT_EQ(printed, "ControlService failed! function:StartService Error = 1275 \n");
    EXPECT_EQ(StateOf(kQelmo), SERVICE_STOPPED);
}

TEST_F(ServiceControlTest, MissingServiceLeavesTheOpenErrorBehindTheHandleCloses) {
    struct Case {
        const char* what;
        BOOL (*call)();
    } cases[] = {
        {"StartDriverService", [] { return StartDriverService(kQelmo); }},
        {"StopDriver", [] { return StopDriver(kQelmo); }},
        {"QueryDriverServiceStatus",
         [] {
             SERVICE_STATUS status = {};
             return QueryDriverServiceStatus(kQelmo, &status);
         }},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) << c.what;
    }
}

TEST_F(ServiceControlTest, NullOrEmptyNamesAreRefusedBeforeTheScm) {
    {
        test::LogCapture capture;
        EXPECT_FALSE(StartDriverService(L""));
        ExpectLines(capture, {{2, L"==> StartDriverService,Driver Name:"}});
    }
    // A refusal sets its own error: a stale 1305 from an earlier call would otherwise read as
    // "the driver started and stopped again" to a caller that tests for it.
    struct Case {
        const char* what;
        BOOL (*call)();
    } cases[] = {
        {"start, null", [] { return StartDriverService(nullptr); }},
        {"start, empty", [] { return StartDriverService(L""); }},
        {"stop, null", [] { return StopDriver(nullptr); }},
        {"stop, empty", [] { return StopDriver(L""); }},
        {"query, empty",
         [] {
             SERVICE_STATUS status = {};
             return QueryDriverServiceStatus(L"", &status);
         }},
        {"query, no record", [] { return QueryDriverServiceStatus(kQelmo, nullptr); }},
    };
    for (const auto& c : cases) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
    }
}

TEST_F(ServiceControlTest, IsDriverExistLogsHowItDecided) {
    InstallDriver(L"v1");
    struct Case {
        const wchar_t* name;
        BOOL exists;
        std::vector<Line> lines;
    } cases[] = {
        {kQelmo,
         TRUE,
         {{2, L"==> IsDriverExist,"},
          {2, L"try to opens an existing service: qelmo"},
          {2, L"<== IsDriverExist,The service: qelmo exists"}}},
        {L"qelmo_absent",
         FALSE,
         {{2, L"==> IsDriverExist,"},
          {2, L"try to opens an existing service: qelmo_absent"},
          {5, L"OpenService failed. error code: 0x424"},
          {2, L"<== IsDriverExist,The service: qelmo_absent does not exist"}}},
        {nullptr,
         FALSE,
         {{2, L"==> IsDriverExist,"},
          {2, L"<== IsDriverExist,The service: (NULL) does not exist"}}},
    };
    for (const auto& c : cases) {
        test::LogCapture capture;
        EXPECT_EQ(IsDriverExist(c.name), c.exists);
        ExpectLines(capture, c.lines);
    }
}

TEST_F(ServiceControlTest, DeleteDriverServiceRemovesQelmo) {
    InstallDriver(L"v1");
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    EXPECT_TRUE(DeleteDriverService(scm.get())) << GetLastError();
    for (int i = 0; i < 50 && StateOf(kQelmo) != 0; ++i)
        Sleep(100);
    EXPECT_EQ(StateOf(kQelmo), 0u) << "the service is still there";

    test::LogCapture capture;
    EXPECT_FALSE(DeleteDriverService(scm.get()));
    ExpectLines(capture, {{5, L"OpenService failed. error code: 0x424"}});
}

TEST(InstanceMailslot, AnyOfTheSixteenInstancesCounts) {
    struct Case {
        const wchar_t* slot;
        BOOL none;
    } cases[] = {
        {L"\\\\.\\mailslot\\qelmo_INSTANCE0", FALSE}, {L"\\\\.\\mailslot\\qelmo_INSTANCE15", FALSE},
        {L"\\\\.\\mailslot\\qelmo_INSTANCE16", TRUE},  // outside the instance range
        {L"\\\\.\\mailslot\\qelmo_INSTANCE", TRUE},   {L"\\\\.\\mailslot\\other_INSTANCE3", TRUE},
    };
    EXPECT_TRUE(HasNoMailslotInstance(kQelmo));
    for (const auto& c : cases) {
        FileHandle slot(CreateMailslotW(c.slot, 0, 0, nullptr));
        ASSERT_TRUE(slot) << test::Narrow(c.slot);
        EXPECT_EQ(HasNoMailslotInstance(kQelmo), c.none) << test::Narrow(c.slot);
    }
    EXPECT_TRUE(HasNoMailslotInstance(kQelmo));
}

// ---- own-process test service: pending states, hints and checkpoints -----------

TEST_F(ServiceControlTest, StartThatFallsBackToStoppedFailsWith1305) {
    TestService service(L"--stop-after-start=300");
    ASSERT_TRUE(service.Created()) << service.Error();
    DebugFileOn debugFile;
    test::LogCapture capture;

    EXPECT_FALSE(StartDriverService(kTestService));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));

    const int fellBack = capture.IndexOf(svc::kFellBackToStopped);
    const int failed =
        capture.IndexOf(L"ControlService failed! function:StartService, error code: 0x519");
    ASSERT_GE(fellBack, 0) << capture.Dump();
    ASSERT_GT(failed, fellBack) << capture.Dump();
    EXPECT_EQ(capture.Calls()[fellBack].level, 3u);
    EXPECT_EQ(capture.Calls()[failed].level, 5u);
    EXPECT_EQ(capture.Calls().back().text, L"<== StartDriverService,bResult: 0");
    EXPECT_NE(debugFile.Contents().find("] [drivermanage] WaitForServiceState(SERVICE_STOPPED) "
                                        "success! Translate the status code to "
                                        "ERROR_UNKNOWN_REVISION"),
              std::string::npos)
        << debugFile.Contents();
}

TEST_F(ServiceControlTest, FallingCheckpointEndsTheStartWaitPromptly) {
    // START_PENDING with checkpoints 1, 2, 7, 3 (400 ms apart, hint 3000), then RUNNING.
    TestService service(L"--start-checkpoints=1,2,7,3");
    ASSERT_TRUE(service.Created()) << service.Error();
    test::LogCapture capture;

    EXPECT_FALSE(StartDriverService(kTestService));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    // The drop 7 -> 3 comes about six 200 ms polls in; a wait that missed it would go on to
    // RUNNING (and succeed) or poll for 30 s.
    EXPECT_LE(Polls(capture), 20u) << capture.Dump();

    // Hint 3000 gives 200 ms pauses; one line per wanted state, STOPPED first.
    EXPECT_NE(capture.Find(L"service status not match 0x1, sleep: 0xc8, loop counter: 0"), nullptr)
        << capture.Dump();
    EXPECT_NE(capture.Find(L"service status not match 0x4, sleep: 0xc8, loop counter: 0x1"),
              nullptr);
    const test::LogCall* timeout = capture.Find(L"WaitForServiceState(SERVICE_RUNNING) timeout!");
    ASSERT_NE(timeout, nullptr) << capture.Dump();
    EXPECT_EQ(timeout->level, 3u);
    EXPECT_NE(capture.Find(L"<== WaitForServiceStateEx,Is Service Ok: 0"), nullptr);
}

TEST_F(ServiceControlTest, PendingStartAndStopAreFollowedAtTheHintsPace) {
    // Two START_PENDING reports 1.5 s apart with a 20 s hint: 2 s pauses, then RUNNING. On STOP,
    // STOP_PENDING with checkpoints 1, 2, 3 (300 ms apart), then STOPPED.
    TestService service(
        L"--start-checkpoints=1,2 --start-hint=20000 --start-interval=1500 "
        L"--stop-checkpoints=1,2,3 --stop-interval=300");
    ASSERT_TRUE(service.Created()) << service.Error();
    test::LogCapture capture;

    EXPECT_TRUE(StartDriverService(kTestService)) << GetLastError() << "\n" << capture.Dump();
    EXPECT_NE(capture.Find(L"service status not match 0x1, sleep: 0x7d0, loop counter: 0"), nullptr)
        << capture.Dump();
    // The status is read from the service asked for (no "qelmo" exists here).
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryDriverServiceStatus(kTestService, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

    capture.Clear();
    EXPECT_TRUE(StopDriver(kTestService)) << GetLastError();
    EXPECT_EQ(StateOf(kTestService), SERVICE_STOPPED);
    // The stop wait polled through STOP_PENDING (hint 2000: 200 ms pauses).
    EXPECT_NE(capture.Find(L"service status not match 0x1, sleep: 0xc8, loop counter: 0"), nullptr)
        << capture.Dump();
}

TEST_F(ServiceControlTest, ConstantCheckpointIsWaitedForUntilTheDeadline) {
    // START_PENDING with checkpoint 1 for 2 s.
    TestService service(L"--start-checkpoints=1,1,1,1,1 --start-interval=400");
    ASSERT_TRUE(service.Created()) << service.Error();
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle handle(OpenServiceW(scm.get(), kTestService, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(StartServiceW(handle.get(), 0, nullptr)) << GetLastError();

    const DWORD running[] = {SERVICE_RUNNING};
    SERVICE_STATUS status = {};
    test::LogCapture capture;
    const DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForServiceStateEx(handle.get(), running, 1, &status, 500));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_GE(Elapsed(start), 500u);
    // 200 ms pauses: polls at 0, 200 and 400 ms at most before the 500 ms deadline.
    EXPECT_GE(Polls(capture), 1u) << capture.Dump();
    EXPECT_LE(Polls(capture), 3u) << capture.Dump();
    EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(status.dwCheckPoint, 1u);
    EXPECT_EQ(status.dwWaitHint, 3000u);

    EXPECT_TRUE(WaitForServiceStateEx(handle.get(), running, 1, &status, 30000));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
}

TEST_F(ServiceControlTest, WaitWithoutAMatchEndsAtTheDeadlineOrAFailedQuery) {
    TestService service(L"");
    ASSERT_TRUE(service.Created()) << service.Error();
    ASSERT_TRUE(StartDriverService(kTestService));
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle handle(OpenServiceW(scm.get(), kTestService, SERVICE_QUERY_STATUS));

    // No wanted state at all: nothing matches, the time-out ends it (a wait that ignored it would
    // never return).
    const DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForServiceStateEx(handle.get(), nullptr, 0, nullptr, 300));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_GE(Elapsed(start), 300u);

    // A query that fails ends the wait at once with the manager's error, even without time-out.
    const DWORD stopped[] = {SERVICE_STOPPED};
    EXPECT_FALSE(WaitForServiceStateEx(nullptr, stopped, 1, nullptr, 0xFFFFFFFF));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace qelmo
