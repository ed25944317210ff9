// The driver's configuration values in Wine's registry: the install stamps and Parameters
// defaults with their exact types and stored sizes, LastLeaveTime without its NUL, and which
// writers create the Parameters key and which do not.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/driver_names.h"
#include "config/driver_parameters.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

using test::ReadValue;

const std::wstring kServiceKey = names::kServiceKey;
const std::wstring kParameters = names::kParametersKey;

void CreateKey(const std::wstring& path) {
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
}

void SetDword(const std::wstring& path, const wchar_t* name, DWORD value) {
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, REG_DWORD, &value, sizeof value),
        ERROR_SUCCESS);
}

std::vector<BYTE> Utf16Bytes(const std::wstring& text) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(p, p + text.size() * sizeof(wchar_t));
}

// A stamp taken now must lie between two local times read around the write.
void ExpectFreshStamp(const test::RegValue& value, const std::wstring& before,
                      const std::wstring& after) {
    ASSERT_TRUE(value.exists);
    EXPECT_EQ(value.type, DWORD{REG_SZ});
    ASSERT_EQ(value.Size(), 38u) << "19 characters, no NUL";
    std::wstring text(reinterpret_cast<const wchar_t*>(value.bytes.data()), 19);
    EXPECT_LE(before, text);
    EXPECT_LE(text, after);
}

std::wstring Now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return FormatLastLeaveTime(t);
}

class ConfigParameters : public ::testing::Test {
protected:
    test::MachineGuard guard_;
};

TEST_F(ConfigParameters, InstallStampsAndDefaultsHaveExactTypesAndSizes) {
    // The service key does not exist yet: the stamps create it, so Parameters can follow.
    ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
    ASSERT_TRUE(InitDriverServiceRegistry(L"C:\\packages\\qelmo"));

    wchar_t device[MAX_PATH] = {};
    ASSERT_NE(QueryDosDeviceW(test::SystemDir().substr(0, 2).c_str(), device, MAX_PATH), 0u);
    const std::wstring deviceText = device;

    struct Case {
        const std::wstring& key;
        const wchar_t* name;
        DWORD type;
        std::vector<BYTE> bytes;
    } cases[] = {
        {kServiceKey, names::kSystemDiskName, REG_SZ, Utf16Bytes(deviceText + L'\0')},
        {kServiceKey, names::kGHSwitch, REG_DWORD, {1, 0, 0, 0}},
        {kServiceKey, names::kZrkFlags, REG_DWORD, {0, 0, 0, 0}},
        {kParameters, names::kGGCT, REG_DWORD, {3, 0, 0, 0}},
        {kParameters, names::kGGCS, REG_DWORD, {1, 0, 0, 0}},
        {kParameters, names::kALSN, REG_DWORD, {0xB0, 0x04, 0, 0}},              // 1200
        {kParameters, names::kStatusCode, REG_DWORD, {0x0F, 0x27, 0, 0}},        // 9999
        {kParameters, names::kLastLeaveTime, REG_SZ, Utf16Bytes(L"undefined")},  // 18, no NUL
    };
    for (const auto& c : cases) {
        test::RegValue value = ReadValue(HKEY_LOCAL_MACHINE, c.key, c.name);
        ASSERT_TRUE(value.exists) << test::Narrow(c.name);
        EXPECT_EQ(value.type, c.type) << test::Narrow(c.name);
        EXPECT_EQ(value.bytes, c.bytes) << test::Narrow(c.name) << " size " << value.Size();
    }
}

TEST_F(ConfigParameters, EveryInstallResetsTheDefaults) {
    ASSERT_TRUE(InitDriverServiceRegistry(L"C:\\packages\\qelmo"));
    SetDword(kParameters, names::kGGCT, 7);
    SetDword(kParameters, names::kStatusCode, 5);
    SetDword(kParameters, names::kALSN, 1);
    ASSERT_TRUE(InitDriverServiceRegistry(L"C:\\packages\\qelmo"));
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kGGCT).Dword(), 3u);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kStatusCode).Dword(), 9999u);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kALSN).Dword(), 1200u);
}

TEST_F(ConfigParameters, CreateParaRegKeyCreatesParametersAndStampsTheTime) {
    CreateKey(kServiceKey);
    std::wstring before = Now();
    EXPECT_TRUE(CreateParaRegKey(names::kServiceKey));
    ExpectFreshStamp(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kLastLeaveTime), before,
                     Now());
}

TEST_F(ConfigParameters, CreateParaRegKeyWithoutServiceKeyLogsBothFailures) {
    test::LogCapture capture;
    EXPECT_FALSE(CreateParaRegKey(names::kServiceKey));
    const auto* create = capture.Find(
        L"Create sub key [SYSTEM\\CurrentControlSet\\Services\\qelmo][Parameters] failed: 0x2");
    ASSERT_NE(create, nullptr) << capture.Dump();
    EXPECT_EQ(create->level, 5u);
    EXPECT_EQ(create->category, L"QELMO Driver Installation");
    EXPECT_EQ(create->source, L"source/helperQELMODriver");
    EXPECT_NE(capture.Find(L"SetLastLeaveSafetyNetTimeToCurrentTime failed."), nullptr)
        << capture.Dump();
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

TEST_F(ConfigParameters, DwordWriterCreatesMissingParametersButTheStampWriterDoesNot) {
    CreateKey(kServiceKey);
    EXPECT_FALSE(SetLastLeaveSafetyNetTimeToCurrentTime());
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kParameters));

    EXPECT_EQ(SetParaRegValueDWORD(names::kStatusCode, 9999), 0u);
    test::RegValue status = ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kStatusCode);
    EXPECT_EQ(status.type, DWORD{REG_DWORD});
    EXPECT_EQ(status.bytes, (std::vector<BYTE>{0x0F, 0x27, 0, 0}));

    std::wstring before = Now();
    EXPECT_TRUE(SetLastLeaveSafetyNetTimeToCurrentTime());
    ExpectFreshStamp(ReadValue(HKEY_LOCAL_MACHINE, kParameters, names::kLastLeaveTime), before,
                     Now());
}

TEST_F(ConfigParameters, DwordWriterWithoutServiceKeyFailsAndCreatesNothing) {
    EXPECT_EQ(SetParaRegValueDWORD(names::kStatusCode, 9999), DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
}

}  // namespace
}  // namespace qelmo
