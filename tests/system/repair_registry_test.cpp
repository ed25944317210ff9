// Taking over an existing service key: the DeleteFlag check and the PermCount/DeleteFlag repair.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>

#include "common/handles.h"
#include "common/driver_names.h"
#include "lifecycle/registry_repair.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

const std::wstring kKey = names::kServiceKey;

// Puts the service key in the given state: absent, or present with the two values when given.
void Arrange(bool keyExists, std::optional<DWORD> permCount, std::optional<DWORD> deleteFlag) {
    ASSERT_TRUE(test::CleanMachine().clean);
    if (!keyExists) return;
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    if (permCount)
        RegSetValueExW(key.get(), names::kPermCount, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&*permCount), sizeof(DWORD));
    if (deleteFlag)
        RegSetValueExW(key.get(), names::kDeleteFlag, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&*deleteFlag), sizeof(DWORD));
}

TEST(CheckDeleteFlagRegistry, OnlyANonzeroFlagMarksTheService) {
    struct Case {
        const char* what;
        bool keyExists;
        std::optional<DWORD> deleteFlag;
        DWORD result;
    } cases[] = {
        {"flag 1", true, 1, 1},
        {"flag 0", true, 0, 0},
        {"no flag", true, std::nullopt, 0},
        {"no key", false, std::nullopt, 0},
    };
    test::MachineGuard guard;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Arrange(c.keyExists, std::nullopt, c.deleteFlag);
        test::LogCapture capture;
        EXPECT_EQ(_CheckDeleteFlagRegistry(names::kServiceName), c.result);

        const auto* marked = capture.Find(
            L"The DeleteFlag indicates the service: qelmo was marked for deletion on reboot");
        if (c.result) {
            ASSERT_NE(marked, nullptr) << capture.Dump();
            EXPECT_EQ(marked->level, 3u);
        } else {
            EXPECT_EQ(marked, nullptr) << capture.Dump();
        }
        ASSERT_EQ(capture.Calls().size(), c.result ? 3u : 2u) << capture.Dump();
        EXPECT_EQ(capture.Calls().front().text, L"==> _CheckDeleteFlagRegistry,");
        EXPECT_EQ(capture.Calls().back().text, c.result ? L"<== _CheckDeleteFlagRegistry,bRet = 0x1"
                                                        : L"<== _CheckDeleteFlagRegistry,bRet = 0");
        EXPECT_EQ(test::KeyExists(HKEY_LOCAL_MACHINE, kKey), c.keyExists) << "nothing created";
    }
}

TEST(ModifyQelmoRegistry, CountsThisInstallationInAndClearsTheMark) {
    const std::wstring queryLine =
        L"fail to query registry: SYSTEM\\CurrentControlSet\\Services\\qelmo\\PermCount";
    const std::wstring deleteLine =
        L"fail to delete registry: SYSTEM\\CurrentControlSet\\Services\\qelmo\\DeleteFlag";
    struct Case {
        const char* what;
        std::optional<DWORD> permCount;
        std::optional<DWORD> deleteFlag;
        DWORD expectedCount;
        bool queryFails;
        bool deleteFails;
    } cases[] = {
        {"1 becomes 2, flag removed", 1, 1, 2, false, false},
        {"missing count starts at 1", std::nullopt, 1, 1, true, false},
        {"0xFFFFFFFF wraps to 0", 0xFFFFFFFF, 0, 0, false, false},
        {"no flag to delete", 1, std::nullopt, 2, false, true},
    };
    test::MachineGuard guard;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Arrange(true, c.permCount, c.deleteFlag);
        test::LogCapture capture;
        EXPECT_EQ(ModifyQelmoRegistry(), 1u);

        test::RegValue count = test::ReadValue(HKEY_LOCAL_MACHINE, kKey, names::kPermCount);
        EXPECT_EQ(count.type, DWORD{REG_DWORD});
        EXPECT_EQ(count.Size(), 4u);
        EXPECT_EQ(count.Dword(), c.expectedCount);
        EXPECT_FALSE(test::ReadValue(HKEY_LOCAL_MACHINE, kKey, names::kDeleteFlag).exists);

        const auto* query = capture.Find(queryLine);
        EXPECT_EQ(query != nullptr, c.queryFails) << capture.Dump();
        if (query) {
            EXPECT_EQ(query->level, 3u);
        }
        const auto* del = capture.Find(deleteLine);
        EXPECT_EQ(del != nullptr, c.deleteFails) << capture.Dump();
        if (del) {
            EXPECT_EQ(del->level, 3u);
        }
        EXPECT_EQ(capture.Calls().back().text, L"<== ModifyQelmoRegistry,bRet = 0x1");
    }
}

TEST(ModifyQelmoRegistry, MissingServiceKeyGivesZeroAndCreatesNothing) {
    test::MachineGuard guard;
    test::LogCapture capture;
    EXPECT_EQ(ModifyQelmoRegistry(), 0u);
    const auto* open =
        capture.Find(L"fail to open registry: SYSTEM\\CurrentControlSet\\Services\\qelmo");
    ASSERT_NE(open, nullptr) << capture.Dump();
    EXPECT_EQ(open->level, 5u);
    EXPECT_EQ(open->source, L"source/helperQELMODriver");
    EXPECT_EQ(capture.Calls().back().text, L"<== ModifyQelmoRegistry,bRet = 0");
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, kKey));
}

}  // namespace
}  // namespace qelmo
