// The registry key owner and its free functions, and the debug file switch, against Wine's real
// registry and files.
#include <gtest/gtest.h>

#include <string>

#include "common/debug_log.h"
#include "common/registry_key.h"
#include "support/fixtures.h"
#include "support/machine.h"

namespace qelmo {
namespace {

const wchar_t kScratch[] = L"SOFTWARE\\Vantor\\QelmoScratch";

class RegistryKey : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor"); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor"); }
    void Raw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        CRegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kScratch), 0);
        ASSERT_EQ(
            RegSetValueExW(key.Handle(), name, 0, type, static_cast<const BYTE*>(data), bytes), 0);
    }
};

TEST_F(RegistryKey, DwordReadsAcceptAnyValueOfAtMostFourBytes) {
    const BYTE four[4] = {1, 2, 3, 4};
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Raw(L"bin4", REG_BINARY, four, 4);
    Raw(L"bin8", REG_BINARY, eight, 8);
    DWORD value = 77;
    EXPECT_TRUE(ReadRegDWORD(value, kScratch, L"bin4"));
    EXPECT_EQ(value, 0x04030201u);
    value = 77;
    EXPECT_FALSE(ReadRegDWORD(value, kScratch, L"bin8"));
    EXPECT_FALSE(ReadRegDWORD(value, kScratch, L"missing"));
    EXPECT_FALSE(ReadRegDWORD(value, L"SOFTWARE\\Vantor\\NoSuchKey", L"x"));
    EXPECT_EQ(value, 77u);  // failed reads leave the value alone
}

TEST_F(RegistryKey, StringsCountTheirNulAndReadsStopAtTheFirstNul) {
    ASSERT_TRUE(WriteRegString(L"", kScratch, L"empty"));
    ASSERT_TRUE(WriteRegString(L"abc", kScratch, L"abc"));
    auto empty = test::ReadValue(HKEY_LOCAL_MACHINE, kScratch, L"empty");
    EXPECT_EQ(empty.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(empty.Size(), 2u);
    EXPECT_EQ(test::ReadValue(HKEY_LOCAL_MACHINE, kScratch, L"abc").Size(), 8u);
    std::wstring text = L"untouched";
    EXPECT_TRUE(ReadRegString(text, kScratch, L"empty"));
    EXPECT_EQ(text, L"");

    const wchar_t inner[] = L"ab\0cd";
    Raw(L"inner", REG_SZ, inner, sizeof inner);
    EXPECT_TRUE(ReadRegString(text, kScratch, L"inner"));
    EXPECT_EQ(text, L"ab");

    // Stored without a NUL: the text is all stored characters, nothing read past them.
    CRegistryKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kScratch, KEY_ALL_ACCESS), 0);
    ASSERT_EQ(SetStringValueWithoutNul(key.Handle(), L"bare", L"undefined"), 0);
    EXPECT_EQ(test::ReadValue(HKEY_LOCAL_MACHINE, kScratch, L"bare").Size(), 18u);
    EXPECT_TRUE(ReadRegString(text, kScratch, L"bare"));
    EXPECT_EQ(text, L"undefined");
}

TEST_F(RegistryKey, WritersCreateMissingParentsAndCloseIsSafeWhenEmpty) {
    const wchar_t deep[] = L"SOFTWARE\\Vantor\\A\\B\\C";
    ASSERT_TRUE(WriteRegDWORD(5, deep, L"n"));
    DWORD value = 0;
    EXPECT_TRUE(ReadRegDWORD(value, deep, L"n"));
    EXPECT_EQ(value, 5u);
    CRegistryKey empty;
    EXPECT_EQ(empty.Close(), 0);
    // A failed open keeps the key already held.
    CRegistryKey held;
    ASSERT_EQ(held.Open(HKEY_LOCAL_MACHINE, deep, KEY_READ), 0);
    HKEY before = held.Handle();
    EXPECT_NE(held.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\Nope", KEY_READ), 0);
    EXPECT_EQ(held.Handle(), before);
}

class DebugFile : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor");
        DeleteFileW(Path().c_str());
    }
    void TearDown() override { SetUp(); }
    static std::wstring Path() { return test::BinDir() + L"ZRKHelperDebug.log"; }
    static void Switch(DWORD type, const void* data, DWORD bytes) {
        CRegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantor\\ZRK"), 0);
        RegSetValueExW(key.Handle(), L"DebugLogFlags", 0, type, static_cast<const BYTE*>(data),
                       bytes);
    }
    static std::string Read() {
        std::string text;
        FILE* f = _wfopen(Path().c_str(), L"rb");
        if (!f) return text;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        fclose(f);
        return text;
    }
};

TEST_F(DebugFile, OnlyANonZeroDwordSwitchWritesTheFile) {
    const DWORD zero = 0;
    const wchar_t text[] = L"1";
    struct Case {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
    } cases[] = {{"missing", REG_NONE, nullptr, 0},
                 {"zero", REG_DWORD, &zero, 4},
                 {"string", REG_SZ, text, sizeof text}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.data) Switch(c.type, c.data, c.bytes);
        CDebugLog log;
        log.Init();
        EXPECT_FALSE(log.Enabled());
        EXPECT_EQ(log.Write(nullptr, L"line %d", 1), 0);
        EXPECT_FALSE(test::FileExists(Path()));
    }
}

TEST_F(DebugFile, SwitchOnCreatesThenAppendsBesideTheHost) {
    const DWORD one = 1;
    Switch(REG_DWORD, &one, 4);
    CDebugLog log;
    log.Init();
    ASSERT_TRUE(log.Enabled());
    EXPECT_EQ(log.Path(), Path());
    EXPECT_EQ(log.Write(nullptr, L"first %ls %d", L"line", 7), 1);
    CDebugLog again;  // every operation makes its own and re-reads the switch
    again.Init();
    EXPECT_EQ(again.Write(nullptr, L"second"), 1);
    std::string text = Read();
    // "[yyyy-MM-dd HH:mm:ss.mmm] message"
    ASSERT_GE(text.size(), 26u);
    EXPECT_EQ(text[0], '[');
    EXPECT_EQ(text[5], '-');
    EXPECT_EQ(text[11], ' ');
    EXPECT_EQ(text[20], '.');
    EXPECT_EQ(text.substr(24, 2), "] ");
    EXPECT_NE(text.find("] first line 7"), std::string::npos);
    EXPECT_NE(text.find("] second"), std::string::npos);
    EXPECT_LT(text.find("first"), text.find("second"));

    // A message that does not fit 2047 characters is not written at all.
    std::wstring huge(3000, L'x');
    EXPECT_EQ(log.Write(nullptr, L"%ls", huge.c_str()), 0);
    EXPECT_EQ(Read(), text);
    // A path that does not fit the open buffer is refused, never cut short.
    std::wstring longPath = test::BinDir() + std::wstring(300, L'p') + L".log";
    EXPECT_EQ(log.Write(longPath.c_str(), L"x"), 0);
}

}  // namespace
}  // namespace qelmo
