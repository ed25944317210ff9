// Enter and leave lines through a trace scope: their text and hand-over, the ways out that write
// no leave line, the gate, and the caller's last error across both lines.
#include <gtest/gtest.h>
#include <oxal_log.h>

#include <new>
#include <string>
#include <vector>

#include "common/trace.h"
#include "support/log_capture.h"

namespace qelmo {
namespace {

int g_enterLine = 0;
int g_leaveLine = 0;

// The usual shape of a traced function: the enter line with the argument, an early way out that
// writes no leave line, and the leave line with the result known only at the end.
uint32_t Traced(uint32_t argument, bool early) {
    constexpr const wchar_t* kCat = logid::kCatUtil;
    constexpr const wchar_t* kSrc = logid::kSrcPriviRestrict;
    constexpr unsigned kLevel = logid::kTrace;
    g_enterLine = __LINE__ + 1;
    QTRACE_SCOPE(trace, kCat, kSrc, kLevel, L"Traced", L"argument = ", argument, L", ", early);
    if (early) return 0;
    const uint32_t result = argument + 1;
    g_leaveLine = __LINE__ + 1;
    QTRACE_LEAVE(trace, L"result = ", result);
    return result;
}

// Enter and leave lines without pieces of their own.
void Bare() {
    QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace, L"Bare");
    QTRACE_LEAVE(trace);
}

// Memory exhaustion between the two lines.
void Throws(bool exhausted) {
    QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace, L"Throws");
    if (exhausted) throw std::bad_alloc();
    QTRACE_LEAVE(trace);
}

std::vector<std::wstring> Texts(const test::LogCapture& capture) {
    std::vector<std::wstring> texts;
    for (const auto& call : capture.Calls())
        texts.push_back(call.text);
    return texts;
}

TEST(TraceScope, WritesTheEnterAndLeaveLinesOfEachWayOut) {
    struct Case {
        const char* name;
        void (*run)();
        std::vector<std::wstring> texts;
    } cases[] = {
        {"leave line with a value",
         [] { Traced(0x41, false); },
         {L"==> Traced,argument = 0x41, 0", L"<== Traced,result = 0x42"}},
        {"early way out", [] { Traced(0, true); }, {L"==> Traced,argument = 0, 1"}},
        {"no pieces", [] { Bare(); }, {L"==> Bare,", L"<== Bare,"}},
        {"exception", [] { EXPECT_THROW(Throws(true), std::bad_alloc); }, {L"==> Throws,"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture capture;
        c.run();
        EXPECT_EQ(Texts(capture), c.texts) << capture.Dump();
    }
}

TEST(TraceScope, LinesCarryTheScopesCategorySourceLevelAndTheirOwnLine) {
    test::LogCapture capture;
    Traced(1, false);
    ASSERT_EQ(capture.Calls().size(), 2u);
    const int lines[] = {g_enterLine, g_leaveLine};
    for (size_t i = 0; i < 2; ++i) {
        const test::LogCall& call = capture.Calls()[i];
        EXPECT_EQ(call.category, L"Util COMMON");
        EXPECT_EQ(call.source, L"framework/utility/utilCommon/util_PriviRestrict");
        EXPECT_EQ(call.level, 2u);
        EXPECT_EQ(call.line, static_cast<uint32_t>(lines[i]));
        EXPECT_EQ(call.textBytes, call.text.size() * sizeof(wchar_t));
    }
}

// Each line passes the gate as a QLOG does: two library calls and no formatting while the
// category is off.
TEST(TraceScope, CategoryOffCostsTwoCallsPerLineAndNoFormatting) {
    test::LogCapture capture;
    OxalLog_SetThreshold(logid::kCatInstall, 0);
    OxalLog_ResetCallCounts();
    int formatted = 0;
    auto costly = [&formatted] {
        ++formatted;
        return L"x";
    };
    {
        QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace, L"Off", costly());
        QTRACE_LEAVE(trace, costly());
    }
    uint32_t handleCalls = 0, levelCalls = 0, flushCalls = 0;
    OxalLog_GetCallCounts(&handleCalls, &levelCalls, &flushCalls);
    EXPECT_EQ(handleCalls + levelCalls, 4u);
    EXPECT_EQ(flushCalls, 0u);
    EXPECT_EQ(formatted, 0);
    EXPECT_TRUE(capture.Calls().empty());
}

// The stand-in leaves its own last error behind (183). Both lines keep the caller's, whether they
// are written, gated away or have no handle, and a piece that reads it sees the caller's.
TEST(TraceScope, TheCallersLastErrorSurvivesBothLines) {
    for (const test::LogGateCase& c : test::kLogGateCases) {
        SCOPED_TRACE(c.name);
        test::LogCapture capture(c.threshold);
        OxalLog_SetNullHandle(c.nullHandle ? 1 : 0);
        DWORD afterEnter = 0;
        {
            SetLastError(ERROR_SHARING_VIOLATION);
            QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace, L"Errors",
                         L"error ", GetLastError());
            afterEnter = GetLastError();
            SetLastError(ERROR_TIMEOUT);
            QTRACE_LEAVE(trace, L"error ", GetLastError());
        }
        EXPECT_EQ(afterEnter, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
        const std::vector<std::wstring> written = {L"==> Errors,error 0x20",
                                                   L"<== Errors,error 0x5b4"};
        if (c.threshold == 2 && !c.nullHandle)
            EXPECT_EQ(Texts(capture), written);
        else
            EXPECT_TRUE(capture.Calls().empty());
    }
}

// A leave line that cannot be built (memory exhausted) is dropped, as any log line: the traced
// function returns its own result (an uninstall's exit line once turned its DRV_OK into the
// catch-all's failure after PermCount had been counted down).
TEST(TraceScope, ALeaveLineThatCannotBeBuiltIsDropped) {
    test::LogCapture capture;
    auto exhausted = []() -> std::wstring { throw std::bad_alloc(); };
    auto traced = [&exhausted] {
        QTRACE_SCOPE(trace, logid::kCatInstall, logid::kSrcHelper, logid::kTrace, L"Counted");
        QTRACE_LEAVE(trace, L"result ", exhausted());
        return 7;
    };
    int result = 0;
    EXPECT_NO_THROW(result = traced());
    EXPECT_EQ(result, 7);
    EXPECT_EQ(Texts(capture), std::vector<std::wstring>{L"==> Counted,"});
}

}  // namespace
}  // namespace qelmo
