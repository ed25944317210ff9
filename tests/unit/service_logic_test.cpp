// Pure rules of service control and INF setup: the poll pause, the wait deadline, the service
// name an INF path implies and the setup command line's fixed size.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "service/inf_setup.h"
#include "service/service_control.h"
#include "support/log_capture.h"

namespace qelmo {
namespace {

TEST(WaitPause, FollowsTheWaitHint) {
    struct Case {
        DWORD hint;
        DWORD pause;
    } cases[] = {
        {0, 200},            // no hint: the shortest pause
        {3000, 200},         // 300 ms is below 1 s: still 200
        {9999, 200},         // 999 ms: still 200
        {10000, 1000},       // exactly 1 s: a tenth of the hint
        {50000, 5000},       //
        {100000, 10000},     // at the cap
        {200000, 10000},     // capped at 10 s
        {0xFFFFFFFF, 10000}  // largest hint: capped, no overflow
    };
    for (const auto& c : cases)
        EXPECT_EQ(WaitPauseMs(c.hint), c.pause) << "hint " << c.hint;
}

TEST(WaitDeadline, PassesOnlyAfterTheTimeoutAndSurvivesTickWrap) {
    struct Case {
        DWORD start, now, timeout;
        bool passed;
        const char* what;
    } cases[] = {
        {1000, 1000, 0, false, "time-out 0, no tick yet"},
        {1000, 1001, 0, true, "time-out 0, one tick later"},
        {1000, 31000, 30000, false, "exactly at the deadline"},
        {1000, 31001, 30000, true, "just past the deadline"},
        // A start shortly before the 49.7-day wrap: start + timeout wraps past zero. The wait
        // must last its 30 s, not end on the first poll.
        {0xFFFFF000, 0xFFFFF0C8, 30000, false, "200 ms in, deadline beyond the wrap"},
        {0xFFFFF000, 0x00000100, 30000, false, "tick wrapped, 4.4 s in"},
        {0xFFFFF000, 0x00007000, 30000, true, "tick wrapped, 32.8 s in"},
        {0, 0xFFFFFFFE, 0xFFFFFFFF, false, "no time-out ever passes"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WaitDeadlinePassed(c.start, c.now, c.timeout), c.passed) << c.what;
}

TEST(InfServiceName, TextBetweenLastSeparatorAndLastDot) {
    struct Case {
        const wchar_t* path;
        const wchar_t* name;
    } cases[] = {
        {L"C:\\pkg\\qelmo.inf", L"qelmo"},
        {L"C:\\drv.2.9\\qelmo", L"qelmo"},  // the last '.' lies in a folder name
        {L"qelmo.inf", L"qelmo"},           // no folder at all
        {L"C:/pkg/sub/qelmo.inf", L"qelmo"},
        {L"C:\\pkg/mixed\\qelmo.inf", L"qelmo"},
        {L"C:\\pkg\\qelmo", L"qelmo"},  // no dot
        {L"C:\\pkg\\qelmo.x.inf", L"qelmo.x"},
        {L"C:\\pkg\\.inf", L""},
        {L"C:\\pkg\\", L""},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InfServiceName(c.path), c.name) << test::Narrow(c.path);
}

TEST(InfCommandLine, SectionModeAndPath) {
    EXPECT_EQ(BuildInfCommandLine(L"DefaultInstall", L"C:\\pkg\\qelmo.inf"),
              L"DefaultInstall 128 C:\\pkg\\qelmo.inf");
    EXPECT_EQ(BuildInfCommandLine(L"DefaultUninstall", L"C:\\pkg\\qelmo.inf"),
              L"DefaultUninstall 128 C:\\pkg\\qelmo.inf");
}

TEST(InfCommandLine, LongPathIsCutTo519Units) {
    std::wstring path = L"C:\\";
    while (path.size() < 600 - 10)
        path += L"abcdefghi\\";
    path.resize(600 - 9);
    path += L"qelmo.inf";
    ASSERT_EQ(path.size(), 600u);

    const std::wstring line = BuildInfCommandLine(L"DefaultInstall", path.c_str());
    EXPECT_EQ(line.size(), 519u);
    EXPECT_EQ(line, (L"DefaultInstall 128 " + path).substr(0, 519));

    // One unit short of the buffer fits whole.
    const std::wstring fits(519 - std::wstring(L"DefaultInstall 128 ").size(), L'p');
    EXPECT_EQ(BuildInfCommandLine(L"DefaultInstall", fits.c_str()), L"DefaultInstall 128 " + fits);
}

}  // namespace
}  // namespace qelmo
