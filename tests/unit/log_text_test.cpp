// The message builder's number form, null handling and byte counts, and the gate's order.
#include <gtest/gtest.h>

#include <new>
#include <oxal_log.h>

#include "common/log.h"
#include "support/log_capture.h"

namespace qelmo {
namespace {

TEST(CLogText, NumbersAreZeroOrLowercaseHexWithPrefix) {
    struct Case {
        uint32_t value;
        const wchar_t* text;
    } cases[] = {{0, L"0"},
                 {1, L"0x1"},
                 {0x201A0001, L"0x201a0001"},
                 {0xE01A000C, L"0xe01a000c"},
                 {9999, L"0x270f"},
                 {0xFFFFFFFF, L"0xffffffff"}};
    for (const auto& c : cases) {
        CLogText t;
        t.Append(c.value);
        EXPECT_EQ(t.Str(), c.text) << c.value;
    }
}

TEST(CLogText, PiecesJoinAndNullsReadNull) {
    CLogText t;
    t.AppendAll(L"a", static_cast<const wchar_t*>(nullptr), "-", static_cast<const char*>(nullptr),
                true, false, std::wstring(L"w"));
    EXPECT_EQ(t.Str(), L"a(NULL)-(NULL)10w");
    EXPECT_EQ(t.ByteCount(), t.Str().size() * 2);
}

TEST(CLogText, LongNarrowTextIsConvertedWhole) {
    std::string narrow(3000, 'x');
    CLogText t;
    t.Append(narrow.c_str());
    EXPECT_EQ(t.Str(), std::wstring(3000, L'x'));
}

TEST(LogGate, ThresholdsDecideWhichLevelsAreWritten) {
    struct Case {
        uint32_t threshold;
        bool l2, l3, l5;
    } cases[] = {{0, false, false, false},
                 {2, true, true, true},
                 {3, false, true, true},
                 {6, false, false, false}};
    for (const auto& c : cases) {
        test::LogCapture capture(c.threshold);
        QLOG(logid::kCatInstall, logid::kSrcHelper, 2, L"two");
        QLOG(logid::kCatInstall, logid::kSrcHelper, 3, L"three");
        QLOG(logid::kCatInstall, logid::kSrcHelper, 5, L"five");
        EXPECT_EQ(capture.Find(L"two") != nullptr, c.l2) << c.threshold;
        EXPECT_EQ(capture.Find(L"three") != nullptr, c.l3) << c.threshold;
        EXPECT_EQ(capture.Find(L"five") != nullptr, c.l5) << c.threshold;
    }
}

TEST(LogGate, NullHandleMakesNoFurtherCallsAndFormatsNothing) {
    test::LogCapture capture;
    OxalLog_SetNullHandle(1);
    OxalLog_ResetCallCounts();
    int formatted = 0;
    auto costly = [&formatted] {
        ++formatted;
        return L"x";
    };
    QLOG(logid::kCatInstall, logid::kSrcHelper, 5, costly());
    uint32_t handleCalls = 0, levelCalls = 0, flushCalls = 0;
    OxalLog_GetCallCounts(&handleCalls, &levelCalls, &flushCalls);
    EXPECT_EQ(handleCalls, 1u);
    EXPECT_EQ(levelCalls, 0u);
    EXPECT_EQ(flushCalls, 0u);
    EXPECT_EQ(formatted, 0);
}

TEST(LogGate, CategoryOffCostsTwoCallsAndNoFormatting) {
    test::LogCapture capture;
    OxalLog_SetThreshold(logid::kCatUtil, 0);
    OxalLog_ResetCallCounts();
    int formatted = 0;
    auto costly = [&formatted] {
        ++formatted;
        return L"x";
    };
    QLOG(logid::kCatUtil, logid::kSrcHelper, 5, costly());
    uint32_t handleCalls = 0, levelCalls = 0, flushCalls = 0;
    OxalLog_GetCallCounts(&handleCalls, &levelCalls, &flushCalls);
    EXPECT_EQ(handleCalls + levelCalls, 2u);
    EXPECT_EQ(flushCalls, 0u);
    EXPECT_EQ(formatted, 0);
}

TEST(LogGate, HandOverCarriesCategoryLevelSourceLineAndByteCount) {
    test::LogCapture capture;
    const int expectedLine = __LINE__ + 1;
    QLOG(logid::kCatAdapter, logid::kSrcUtilities, 3, L"abc");
    QLOG(logid::kCatAdapter, logid::kSrcUtilities, 3, L"");
    ASSERT_EQ(capture.Calls().size(), 2u);
    const auto& c = capture.Calls()[0];
    EXPECT_EQ(c.category, L"Plugin QELMO Adapter");
    EXPECT_EQ(c.level, 3u);
    EXPECT_EQ(c.source, L"source/Utilities");
    EXPECT_EQ(c.line, static_cast<uint32_t>(expectedLine));
    EXPECT_EQ(c.textBytes, 6u);
    EXPECT_TRUE(capture.Calls()[1].textPointerNull);
    EXPECT_EQ(capture.Calls()[1].textBytes, 0u);
}

// The host's library writes files and leaves its own last error behind (the stand-in leaves 183
// unless told to keep it). A log call keeps the caller's error whether the gate is open, closed or
// has no handle, and a piece that reads the error sees the caller's one.
TEST(LogGate, TheCallersLastErrorSurvivesEveryLogCall) {
    for (const test::LogGateCase& c : test::kLogGateCases) {
        SCOPED_TRACE(c.name);
        test::LogCapture capture(c.threshold);
        OxalLog_SetNullHandle(c.nullHandle ? 1 : 0);
        SetLastError(ERROR_SHARING_VIOLATION);
        QLOG(logid::kCatInstall, logid::kSrcHelper, 5, L"error ", GetLastError());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        if (c.threshold == 2 && !c.nullHandle) {
            EXPECT_NE(capture.Find(L"error 0x20"), nullptr);
        }
    }
    // The stand-in itself does change it: without the keeper the error would be lost.
    SetLastError(ERROR_SHARING_VIOLATION);
    Log_GetDefaultHandle();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

// A line that cannot be built for want of memory is dropped: the operation that logs goes on with
// its own result (a log call at the end of a finished uninstall once turned DRV_OK into the
// catch-all's failure), and a log call in a destructor cannot end the process.
TEST(LogGate, ALineThatCannotBeBuiltIsDroppedAndKeepsTheLastError) {
    test::LogCapture capture;
    auto exhausted = []() -> std::wstring { throw std::bad_alloc(); };
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_NO_THROW(QLOG(logid::kCatInstall, logid::kSrcHelper, 5, L"lost ", exhausted()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(capture.FindPrefix(L"lost"), nullptr);
    QLOG(logid::kCatInstall, logid::kSrcHelper, 5, L"next");
    EXPECT_NE(capture.Find(L"next"), nullptr);
}

}  // namespace
}  // namespace qelmo
