// Package path handling: the "\\.\" collapse, the fixed driver-folder buffer, INF path forms.
#include <gtest/gtest.h>

#include <string>

#include "lifecycle/driver_paths.h"
#include "plugin/enumerate.h"

namespace qelmo {
namespace {

TEST(NormalizeDriverPath, CollapsesOnlyTheFirstDeviceInfix) {
    struct Case {
        const wchar_t* input;
        const wchar_t* output;
    } cases[] = {
        {L"C:\\pkg\\\\.\\drv", L"C:\\pkg\\drv"},
        {L"\\\\.\\C:\\pkg", L"\\C:\\pkg"},
        {L"C:\\a\\\\.\\b\\\\.\\c", L"C:\\a\\b\\\\.\\c"},
        {L"C:\\pkg\\\\.", L"C:\\pkg\\\\."},  // a '\' without three characters after it
        {L"ab", L"ab"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        wchar_t out[MAX_PATH];
        wmemset(out, L'#', MAX_PATH);
        ASSERT_EQ(NormalizeDriverPath(c.input, out, MAX_PATH), 1) << c.input;
        EXPECT_STREQ(out, c.output);
    }
}

TEST(NormalizeDriverPath, RefusesMissingArgumentsAndResultsThatDoNotFit) {
    wchar_t out[MAX_PATH];
    EXPECT_EQ(NormalizeDriverPath(nullptr, out, MAX_PATH), 0);
    EXPECT_EQ(NormalizeDriverPath(L"C:\\x", nullptr, MAX_PATH), 0);

    // 259 characters fit with the NUL; 260 do not. The guard units after the buffer stay put.
    wchar_t guarded[MAX_PATH + 4];
    wmemset(guarded, L'#', MAX_PATH + 4);
    std::wstring fits(MAX_PATH - 1, L'a');
    EXPECT_EQ(NormalizeDriverPath(fits.c_str(), guarded, MAX_PATH), 1);
    std::wstring tooLong(MAX_PATH, L'a');
    EXPECT_EQ(NormalizeDriverPath(tooLong.c_str(), guarded, MAX_PATH), 0);
    std::wstring maximal(1023, L'a');  // the longest path a record can carry
    EXPECT_EQ(NormalizeDriverPath(maximal.c_str(), guarded, MAX_PATH), 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(guarded[MAX_PATH + i], L'#');
    // A path longer than the buffer that only fits after the collapse is accepted.
    std::wstring collapses = std::wstring(MAX_PATH - 3, L'a') + L"\\\\.\\b";
    EXPECT_EQ(NormalizeDriverPath(collapses.c_str(), guarded, MAX_PATH), 1);
}

TEST(DriverPaths, InfPathAndPackageFolderAddOneSeparatorOnlyWhenMissing) {
    EXPECT_EQ(InfPathFor(L"C:\\pkg", L"qelmo"), L"C:\\pkg\\qelmo.inf");
    EXPECT_EQ(InfPathFor(L"C:\\pkg\\", L"qelmo"), L"C:\\pkg\\qelmo.inf");
    EXPECT_EQ(InfPathFor(L"C:/pkg/", L"qelmo"), L"C:/pkg/qelmo.inf");
    EXPECT_EQ(WithTrailingSeparator(L"C:\\pkg"), L"C:\\pkg\\");
    EXPECT_EQ(WithTrailingSeparator(L"C:\\pkg/"), L"C:\\pkg/");
}

TEST(DriverPaths, RecordPathMustEndInsideItsField) {
    DrvInfo record{};
    EXPECT_TRUE(DriverPathIsTerminated(record));
    wmemset(record.wszDriverPath, L'a', QELMO_DRIVER_PATH_UNITS);
    EXPECT_FALSE(DriverPathIsTerminated(record));
    record.wszDriverPath[QELMO_DRIVER_PATH_UNITS - 1] = L'\0';
    EXPECT_TRUE(DriverPathIsTerminated(record));
}

TEST(DriverVersion, TextSkipsTheThirdElement) {
    DWORD a[4] = {2, 9, 0, 1234};
    DWORD b[4] = {5, 6, 0, 8};
    EXPECT_EQ(FormatDriverVersion(a), "2.9.1234");
    EXPECT_EQ(FormatDriverVersion(b), "5.6.8");
}

}  // namespace
}  // namespace qelmo
