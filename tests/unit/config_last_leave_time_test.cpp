// The LastLeaveTime text and the safety-net file stem derived from it.
#include <gtest/gtest.h>
#include <windows.h>

#include "config/driver_parameters.h"
#include "config/safety_net.h"
#include "config/safety_net_name.h"

namespace qelmo {
namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                WORD dayOfWeek = 0, WORD ms = 0) {
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wDayOfWeek = dayOfWeek;
    t.wMilliseconds = ms;
    return t;
}

TEST(FormatLastLeaveTime, ZeroPaddedFieldsWithoutWeekdayOrMilliseconds) {
    struct Case {
        SYSTEMTIME time;
        const wchar_t* text;
    } cases[] = {
        {Time(2024, 5, 7, 9, 3, 41, 2, 999), L"2024-05-07 09:03:41"},
        {Time(1601, 1, 1, 0, 0, 0), L"1601-01-01 00:00:00"},
        {Time(9999, 12, 31, 23, 59, 59, 6), L"9999-12-31 23:59:59"},
        {Time(999, 1, 2, 3, 4, 5), L"0999-01-02 03:04:05"},
    };
    for (const auto& c : cases) {
        std::wstring text = FormatLastLeaveTime(c.time);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(text.size(), 19u) << "stored as 38 bytes";
    }
}

// The stem is the MD5 of the UTF-16LE units without a terminator: hashing the NUL too, or the
// narrow text, gives a different name and the driver's file would never be found.
TEST(SafetyNetStem, Md5OfUtf16LeUnitsWithoutTerminator) {
    EXPECT_EQ(SafetyNetStem(L"undefined"), L"4e90548954e94f0adad80035f0e220b1");
    EXPECT_EQ(SafetyNetStem(FormatLastLeaveTime(Time(2024, 5, 7, 9, 3, 41))),
              L"eb3f7c38aea0d9712c50912efb246d11");
}

}  // namespace
}  // namespace qelmo
