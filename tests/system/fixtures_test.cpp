// The test fixtures themselves under Wine: every package installs from its INF and its driver
// behaves as its name says, the test service reports what it is told, the module DLLs carry the
// version texts they were built with, and MachineGuard puts the machine back.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/handles.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

using test::MachineGuard;

std::vector<BYTE> VersionBlock(const std::wstring& path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data())) block.clear();
    return block;
}

// "a.b.c.d" from the fixed part of the version resource; empty when there is none.
std::wstring FixedVersion(const std::wstring& path) {
    std::vector<BYTE> block = VersionBlock(path);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (block.empty() ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &len))
        return std::wstring();
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring FileVersionText(const std::wstring& path, const std::wstring& language = L"040904b0") {
    std::vector<BYTE> block = VersionBlock(path);
    wchar_t* text = nullptr;
    UINT len = 0;
    std::wstring query = L"\\StringFileInfo\\" + language + L"\\FileVersion";
    if (block.empty() ||
        !VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &len))
        return std::wstring();
    return std::wstring(text);
}

bool InstallInf(const std::wstring& package) {
    std::wstring command = L"DefaultInstall 128 " + package + L"\\qelmo.inf";
    InstallHinfSectionW(nullptr, nullptr, command.c_str(), 0);
    return test::FileExists(test::DriversDir() + L"\\qelmo.sys");
}

DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Polls until the service is in `state` or `limitMs` passes; the last state seen.
DWORD WaitForState(SC_HANDLE service, DWORD state, DWORD limitMs) {
    const DWORD start = GetTickCount();
    DWORD now = State(service);
    while (now != state && GetTickCount() - start < limitMs) {
        Sleep(20);
        now = State(service);
    }
    return now;
}

// ---- packages ----------------------------------------------------------------------------------

enum class Start { Runs, RunsForever, Fails, StopsRightAfter };

struct PackageCase {
    const wchar_t* name;
    const wchar_t* driverVersion;
    const wchar_t* moduleVersion;
    Start start;
    DWORD startError;  // for Start::Fails
};

// Names the case in test listings by its package.
void PrintTo(const PackageCase& c, std::ostream* out) {
    *out << test::Narrow(c.name);
}

class PackageTest : public ::testing::TestWithParam<PackageCase> {};

TEST_P(PackageTest, InstallsFromItsInfAndStartsAsDesigned) {
    const PackageCase& c = GetParam();
    MachineGuard guard;
    const std::wstring package = test::PackageDir(c.name);

    EXPECT_EQ(FixedVersion(package + L"\\qelmo.sys"), c.driverVersion);
    for (const wchar_t* module :
         {L"kipmon64.dll", L"kipmon.dll", L"AddOn\\KipEvt64.dll", L"AddOn\\KipEvt.dll"})
        EXPECT_EQ(FileVersionText(package + L"\\" + module), c.moduleVersion) << module;

    ASSERT_TRUE(InstallInf(package));
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(OpenServiceW(scm.get(), L"qelmo", SERVICE_ALL_ACCESS));
    ASSERT_NE(service.get(), nullptr) << GetLastError();
    EXPECT_EQ(FixedVersion(test::DriversDir() + L"\\qelmo.sys"), c.driverVersion);

    BOOL started = StartServiceW(service.get(), 0, nullptr);
    DWORD error = started ? 0 : GetLastError();
    SERVICE_STATUS status = {};
    switch (c.start) {
        case Start::Runs:
            ASSERT_TRUE(started) << error;
            EXPECT_EQ(State(service.get()), SERVICE_RUNNING);
            ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
                << GetLastError();
            EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED, 5000), SERVICE_STOPPED);
            break;
        case Start::RunsForever: {
            ASSERT_TRUE(started) << error;
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED, 1000), SERVICE_RUNNING);
            service.reset();
            // The guard gets it out of the way by ending the process that holds it.
            test::CleanReport report = guard.Restore();
            EXPECT_TRUE(report.clean) << report.Text();
            EXPECT_TRUE(report.hostEnded);
            EXPECT_FALSE(report.serviceStuck);
            break;
        }
        case Start::Fails:
            EXPECT_FALSE(started);
            EXPECT_EQ(error, c.startError);
            EXPECT_EQ(State(service.get()), SERVICE_STOPPED);
            break;
        case Start::StopsRightAfter:
            ASSERT_TRUE(started) << error;
            EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED, 5000), SERVICE_STOPPED);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, PackageTest,
    ::testing::Values(
        PackageCase{L"v1", L"2.9.0.1234", L"6.0.1035", Start::Runs, 0},
        PackageCase{L"v2", L"2.9.0.2000", L"6.0.2000", Start::Runs, 0},
        PackageCase{L"failstart", L"2.9.0.3000", L"6.0.3000", Start::Fails, ERROR_GEN_FAILURE},
        PackageCase{L"blocked", L"2.9.0.3100", L"6.0.3100", Start::Fails, ERROR_DRIVER_BLOCKED},
        PackageCase{L"nounload", L"2.9.0.3200", L"6.0.3200", Start::RunsForever, 0},
        PackageCase{L"stopsafterstart", L"2.9.0.3300", L"6.0.3300", Start::StopsRightAfter, 0},
        PackageCase{L"badversion", L"2.9.0.3400", L"6.0*3400", Start::Runs, 0}),
    [](const ::testing::TestParamInfo<PackageCase>& info) {
        std::string name;
        for (const wchar_t* p = info.param.name; *p; ++p)
            name += static_cast<char>(*p);
        return name;
    });

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!file) return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    file.reset();
    return bytes;
}

// A test that checks which file landed where can tell them apart by their bytes alone.
TEST(Fixtures, FilesDifferBetweenPackagesAndBetweenModules) {
    const std::wstring v1 = test::PackageDir(L"v1") + L"\\";
    const std::wstring v2 = test::PackageDir(L"v2") + L"\\";
    for (const wchar_t* file : {L"qelmo.sys", L"kipmon64.dll", L"kipmon.dll",
                                L"AddOn\\KipEvt64.dll", L"AddOn\\KipEvt.dll"}) {
        std::string a = ReadAll(v1 + file);
        ASSERT_FALSE(a.empty()) << test::Narrow(file);
        EXPECT_NE(a, ReadAll(v2 + file)) << test::Narrow(file);
    }
    EXPECT_NE(ReadAll(v1 + L"kipmon64.dll"), ReadAll(v1 + L"kipmon.dll"));
    EXPECT_NE(ReadAll(v1 + L"AddOn\\KipEvt64.dll"), ReadAll(v1 + L"AddOn\\KipEvt.dll"));
}

TEST(Fixtures, PackageCopyHoldsThePackageUntilItGoesOutOfScope) {
    std::wstring path;
    {
        test::PackageCopy copy(L"v2");
        path = copy.Path();
        ASSERT_FALSE(path.empty());
        EXPECT_NE(path.back(), L'\\');
        for (const wchar_t* file : {L"qelmo.inf", L"qelmo.sys", L"kipmon64.dll", L"kipmon.dll",
                                    L"AddOn\\KipEvt64.dll", L"AddOn\\KipEvt.dll"})
            EXPECT_EQ(ReadAll(copy.File(file)), ReadAll(test::PackageDir(L"v2") + L"\\" + file))
                << test::Narrow(file);
        SetFileAttributesW(copy.File(L"qelmo.sys").c_str(), FILE_ATTRIBUTE_READONLY);
        test::PackageCopy other(L"v2");
        EXPECT_NE(other.Path(), path) << "every copy gets its own folder";
    }
    EXPECT_FALSE(test::FileExists(path));
}

// ---- test service -------------------------------------------------------------------------------

TEST(TestService, ReportsTheCheckpointsItIsGivenOnStartAndStop) {
    const wchar_t* name = L"qelmo_fixture_service";
    MachineGuard guard({name});
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    std::wstring image = L"\"" + test::BinDir() + L"fixtures\\qelmo_test_service.exe\"";
    ScHandle service(CreateServiceW(
        scm.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_NE(service.get(), nullptr) << GetLastError();

    const wchar_t* args[] = {
        L"--start-checkpoints=1,2,7,3", L"--start-hint=3000", L"--start-interval=150",
        L"--stop-checkpoints=4,5",      L"--stop-hint=2000",  L"--stop-interval=150"};
    ASSERT_TRUE(StartServiceW(service.get(), 6, args)) << GetLastError();
    std::vector<DWORD> checkpoints;
    SERVICE_STATUS status = {};
    for (DWORD start = GetTickCount(); GetTickCount() - start < 5000; Sleep(20)) {
        ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
        if (status.dwCurrentState != SERVICE_START_PENDING) break;
        EXPECT_EQ(status.dwWaitHint, 3000u);
        if (checkpoints.empty() || checkpoints.back() != status.dwCheckPoint)
            checkpoints.push_back(status.dwCheckPoint);
    }
    EXPECT_EQ(checkpoints, (std::vector<DWORD>{1, 2, 7, 3}));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(status.dwCheckPoint, 4u);
    EXPECT_EQ(status.dwWaitHint, 2000u);
    EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED, 5000), SERVICE_STOPPED);
}

TEST(MachineGuard, RemovesAServiceThatWillNotStop) {
    const wchar_t* name = L"qelmo_fixture_service";
    // After one STOP the process still runs and the guard ends it. Wine refuses a second STOP
    // (1061) and lets the process go, leaving the service RUNNING with no process.
    for (int stops : {1, 2}) {
        SCOPED_TRACE(stops);
        MachineGuard guard({name});
        {
            ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
            std::wstring image =
                L"\"" + test::BinDir() + L"fixtures\\qelmo_test_service.exe\" --ignore-stop";
            ScHandle service(CreateServiceW(scm.get(), name, name, SERVICE_ALL_ACCESS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                            SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                            nullptr, nullptr, nullptr));
            ASSERT_NE(service.get(), nullptr) << GetLastError();
            ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
            SERVICE_STATUS status = {};
            ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
            EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED, 500), SERVICE_RUNNING);
            if (stops == 2) {
                EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
            }
        }
        test::CleanReport report = guard.Restore();
        EXPECT_TRUE(report.clean) << report.Text();
        EXPECT_FALSE(report.serviceStuck);
        EXPECT_EQ(report.hostEnded, stops == 1);
    }
}

// ---- standalone DLLs --------------------------------------------------------------------------

TEST(Fixtures, VersionDllsCarryWhatTheyWereBuiltWith) {
    const std::wstring dir = test::BinDir() + L"fixtures\\";
    EXPECT_EQ(FileVersionText(dir + L"two_translations.dll", L"040904b0"), L"1.1.1.1");
    EXPECT_EQ(FileVersionText(dir + L"two_translations.dll", L"080404b0"), L"2.2.2.2");

    DWORD handle = 0;
    EXPECT_EQ(GetFileVersionInfoSizeW((dir + L"noversion.dll").c_str(), &handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    LibraryHandle loaded(LoadLibraryW((dir + L"noversion.dll").c_str()));
    EXPECT_TRUE(loaded) << GetLastError();
    loaded.reset();
}

// ---- machine guard ------------------------------------------------------------------------------

bool WriteFileText(const std::wstring& path, const char* text) {
    FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file.get(), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    file.reset();
    return ok != FALSE;
}

TEST(MachineGuard, PutsBackWhatATestLeavesBehind) {
    const std::wstring sessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    const std::wstring system = test::SystemDir();
    const std::wstring safetyNet = system + L"\\0123456789abcdef0123456789ABCDEF.dat";
    const std::wstring notSafetyNet = system + L"\\0123456789abcdef0123456789abcde.dat";
    const std::wstring module = system + L"\\qelmo\\20019\\KipMon\\6.0.1035\\kipmon64.dll.52710391";
    const std::wstring wowModule = test::Wow64Dir() + L"\\qelmo\\20019\\KipMon\\6.0.1035";
    const std::wstring renamedDriver = test::DriversDir() + L"\\qelmo.sys.-1234";
    const std::wstring pendingFile = test::BinDir() + L"pending_probe.txt";
    const test::RegValue pendingBefore =
        test::ReadValue(HKEY_LOCAL_MACHINE, sessionManager, L"PendingFileRenameOperations");
    {
        MachineGuard guard;
        ASSERT_TRUE(InstallInf(test::PackageDir(L"v1")));
        ASSERT_TRUE(WriteFileText(safetyNet, "x"));
        ASSERT_TRUE(WriteFileText(notSafetyNet, "x"));
        ASSERT_EQ(SHCreateDirectoryExW(
                      nullptr, (system + L"\\qelmo\\20019\\KipMon\\6.0.1035").c_str(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_TRUE(WriteFileText(module, "x"));
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, wowModule.c_str(), nullptr), ERROR_SUCCESS);
        ASSERT_TRUE(WriteFileText(renamedDriver, "x"));
        RegKeyHandle key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\ZRK", 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        DWORD one = 1;
        RegSetValueExW(key.get(), L"DebugLogFlags", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one),
                       sizeof(one));
        ASSERT_TRUE(MoveFileExW(pendingFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
        ASSERT_TRUE(
            test::ReadValue(HKEY_LOCAL_MACHINE, sessionManager, L"PendingFileRenameOperations")
                .exists);
    }
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(scm.get(), L"qelmo", SERVICE_QUERY_STATUS));
    EXPECT_EQ(service.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(
        test::KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\qelmo"));
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor"));
    for (const auto& gone : {test::DriversDir() + L"\\qelmo.sys", renamedDriver, safetyNet,
                             system + L"\\qelmo", test::Wow64Dir() + L"\\qelmo"})
        EXPECT_FALSE(test::FileExists(gone)) << test::Narrow(gone);
    EXPECT_TRUE(test::FileExists(notSafetyNet));
    DeleteFileW(notSafetyNet.c_str());
    const test::RegValue pendingAfter =
        test::ReadValue(HKEY_LOCAL_MACHINE, sessionManager, L"PendingFileRenameOperations");
    EXPECT_EQ(pendingAfter.exists, pendingBefore.exists);
    EXPECT_EQ(pendingAfter.bytes, pendingBefore.bytes);
}

}  // namespace
}  // namespace qelmo
