// RegCfgFlags: bit 0 cleared, every other bit kept, the value always written.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/handles.h"
#include "common/driver_names.h"
#include "lifecycle/config_flags.h"
#include "support/log_capture.h"
#include "support/machine.h"

namespace qelmo {
namespace {

TEST(ConfigRegCfgFlags, ClearsBitZeroAndLogsReadAndWrite) {
    struct Case {
        const char* what;
        bool keyExists;
        bool valueExists;
        DWORD before;
        DWORD after;
        const wchar_t* getLine;
        unsigned getLevel;
        const wchar_t* writeLine;
    } cases[] = {
        {"no service key", false, false, 0, 0, L"Get RegCfgFlags failed: 0", 5,
         L"Write RegCfgFlags succeed: 0"},
        {"no value", true, false, 0, 0, L"Get RegCfgFlags failed: 0", 5,
         L"Write RegCfgFlags succeed: 0"},
        {"3", true, true, 3, 2, L"Get RegCfgFlags succeed: 0x3", 2,
         L"Write RegCfgFlags succeed: 0x2"},
        {"0x10", true, true, 0x10, 0x10, L"Get RegCfgFlags succeed: 0x10", 2,
         L"Write RegCfgFlags succeed: 0x10"},
        {"1", true, true, 1, 0, L"Get RegCfgFlags succeed: 0x1", 2,
         L"Write RegCfgFlags succeed: 0"},
        {"all bits", true, true, 0xFFFFFFFF, 0xFFFFFFFE, L"Get RegCfgFlags succeed: 0xffffffff", 2,
         L"Write RegCfgFlags succeed: 0xfffffffe"},
    };
    test::MachineGuard guard;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(test::CleanMachine().clean);
        if (c.keyExists) {
            RegKeyHandle key;
            ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, names::kServiceKey, 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
                      ERROR_SUCCESS);
            if (c.valueExists)
                RegSetValueExW(key.get(), names::kRegCfgFlags, 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&c.before), sizeof c.before);
        }

        test::LogCapture capture;
        ConfigRegCfgFlagsByProduct();

        test::RegValue value =
            test::ReadValue(HKEY_LOCAL_MACHINE, names::kServiceKey, names::kRegCfgFlags);
        ASSERT_TRUE(value.exists);
        EXPECT_EQ(value.type, DWORD{REG_DWORD});
        EXPECT_EQ(value.Size(), 4u);
        EXPECT_EQ(value.Dword(), c.after);

        const std::wstring prefix = L"[ConfigRegCfgFlagsByProduct] ";
        const auto* get = capture.Find(prefix + c.getLine);
        ASSERT_NE(get, nullptr) << capture.Dump();
        EXPECT_EQ(get->level, c.getLevel);
        const auto* write = capture.Find(prefix + c.writeLine);
        ASSERT_NE(write, nullptr) << capture.Dump();
        EXPECT_EQ(write->level, 2u);
        EXPECT_EQ(write->category, L"QELMO Driver Installation");
        EXPECT_EQ(write->source, L"source/helperQELMODriver");
    }
}

}  // namespace
}  // namespace qelmo
