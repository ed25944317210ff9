// The safety-net file name, its deletion, and the reset that runs before update and uninstall,
// against Wine's registry and file system.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

#include <setupapi.h>

#include "common/driver_names.h"
#include "common/handles.h"
#include "config/driver_parameters.h"
#include "config/safety_net.h"
#include "config/safety_net_name.h"
#include "support/fixtures.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

using test::ReadValue;

const std::wstring kServiceKey = names::kServiceKey;
const std::wstring kParameters = names::kParametersKey;
constexpr const wchar_t* kFixedStem = L"j48bon7fggefsadiedd5566_23310837";

std::wstring SafetyNetPathFor(const std::wstring& stem) {
    return test::SystemDir().substr(0, 2) + L"\\Windows\\System32\\" + stem + L".dat";
}

void CreateKey(const std::wstring& path) {
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
}

void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kParameters.c_str(), name, type, data, bytes),
              ERROR_SUCCESS);
}

void CreateFileAt(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << GetLastError();
    file.reset();
}

class SafetyNet : public ::testing::Test {
protected:
    void TearDown() override {
        // The fixed stem is no hex name, so the machine clean-up would not recognise its file.
        DeleteFileW(SafetyNetPathFor(kFixedStem).c_str());
    }
    test::MachineGuard guard_;
};

TEST_F(SafetyNet, PathStemFollowsWhatLastLeaveTimeHolds) {
    const std::wstring undefinedStem = L"4e90548954e94f0adad80035f0e220b1";
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::wstring stem;
    } cases[] = {
        {"no Parameters key", [] { CreateKey(kServiceKey); }, kFixedStem},
        {"no LastLeaveTime", [] { CreateKey(kParameters); }, kFixedStem},
        {"LastLeaveTime as REG_DWORD",
         [] {
             CreateKey(kParameters);
             DWORD v = 20240507;
             SetRaw(names::kLastLeaveTime, REG_DWORD, &v, sizeof v);
         },
         kFixedStem},
        {"LastLeaveTime as REG_EXPAND_SZ",
         [] {
             CreateKey(kParameters);
             SetRaw(names::kLastLeaveTime, REG_EXPAND_SZ, L"undefined", 20);
         },
         kFixedStem},
        {"\"undefined\" as the defaults store it (18 bytes, no NUL)",
         [] {
             CreateKey(kParameters);
             SetParaRegDefaultValues();
             ASSERT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kLastLeaveTime).Size(),
                       18u);
         },
         undefinedStem},
        {"\"undefined\" stored with its NUL: the NUL is not part of the text",
         [] {
             CreateKey(kParameters);
             SetRaw(names::kLastLeaveTime, REG_SZ, L"undefined", 20);
         },
         undefinedStem},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(test::CleanMachine().clean);
        c.arrange();
        std::wstring path;
        EXPECT_EQ(GetSafetyNetFilePath(path), 0u);
        EXPECT_EQ(path, SafetyNetPathFor(c.stem));
    }
}

TEST_F(SafetyNet, DeleteRemovesThePresentFileAndAcceptsAnAbsentOne) {
    CreateKey(kParameters);
    const std::wstring path = SafetyNetPathFor(kFixedStem);
    std::wstring message = L"untouched";
    EXPECT_TRUE(DeleteSafetyNetFile(message));  // nothing there
    CreateFileAt(path);
    EXPECT_TRUE(DeleteSafetyNetFile(message));
    EXPECT_FALSE(test::FileExists(path));
    EXPECT_EQ(message, L"untouched");
}

TEST_F(SafetyNet, DeleteOfALockedFileReportsPathAndDecimalCode) {
    CreateKey(kParameters);
    const std::wstring path = SafetyNetPathFor(kFixedStem);
    CreateFileAt(path);
    FileHandle lock(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    std::wstring message;
    EXPECT_FALSE(DeleteSafetyNetFile(message));
    lock.reset();
    EXPECT_EQ(message, L"Delete file " + path + L" failed, error code: 32");
}

TEST_F(SafetyNet, ResetDeletesTheFileOfTheOldStampThenWritesStatusAndANewStamp) {
    CreateKey(kParameters);
    const std::wstring old = L"2020-01-01 00:00:00";
    SetRaw(names::kLastLeaveTime, REG_SZ, L"2020-01-01 00:00:00#", 38);
    DWORD status = 3;
    SetRaw(names::kStatusCode, REG_DWORD, &status, sizeof status);
    const std::wstring oldPath = SafetyNetPathFor(SafetyNetStem(old));
    CreateFileAt(oldPath);

    test::LogCapture capture;
    ResetSafetyNet();

    EXPECT_FALSE(test::FileExists(oldPath));
    test::RegValue code = ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kStatusCode);
    EXPECT_EQ(code.type, DWORD{REG_DWORD});
    EXPECT_EQ(code.Dword(), 9999u);
    test::RegValue stamp = ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kLastLeaveTime);
    EXPECT_EQ(stamp.type, DWORD{REG_SZ});
    EXPECT_EQ(stamp.Size(), 38u);
    EXPECT_NE(stamp.String(), old);
    for (const auto& call : capture.Calls())
        EXPECT_LT(call.level, 5u) << capture.Dump();
}

TEST_F(SafetyNet, ResetStopsARunningDriver) {
    std::wstring command = L"DefaultInstall 128 " + test::PackageDir(L"v1") + L"\\qelmo.inf";
    InstallHinfSectionW(nullptr, nullptr, command.c_str(), 0);
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(
        OpenServiceW(scm.get(), names::kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(service) << GetLastError();
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    CreateKey(kParameters);

    ResetSafetyNet();

    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kStatusCode).Dword(), 9999u);
}

TEST_F(SafetyNet, ResetWithALockedFileLogsTheMessageAndStillWritesTheValues) {
    CreateKey(kParameters);
    SetRaw(names::kLastLeaveTime, REG_SZ, L"2020-01-01 00:00:00#", 38);
    const std::wstring path = SafetyNetPathFor(SafetyNetStem(L"2020-01-01 00:00:00"));
    CreateFileAt(path);
    FileHandle lock(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);

    test::LogCapture capture;
    ResetSafetyNet();
    lock.reset();
    const auto* line = capture.Find(L"Delete file " + path + L" failed, error code: 32");
    ASSERT_NE(line, nullptr) << capture.Dump();
    EXPECT_EQ(line->level, 5u);
    EXPECT_EQ(line->source, L"source/helperQELMODriver");
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kStatusCode).Dword(), 9999u);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kLastLeaveTime).Size(), 38u);
    DeleteFileW(path.c_str());
}

TEST_F(SafetyNet, ResetWithoutServiceKeyStopsAfterTheCreateFailure) {
    test::LogCapture capture;
    ResetSafetyNet();
    ASSERT_FALSE(capture.Calls().empty());
    const auto& last = capture.Calls().back();
    EXPECT_EQ(
        last.text,
        L"Create sub key [SYSTEM\\CurrentControlSet\\Services\\qelmo][Parameters] failed: 0x2")
        << capture.Dump();
    EXPECT_EQ(last.level, 5u);
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

}  // namespace
}  // namespace qelmo
