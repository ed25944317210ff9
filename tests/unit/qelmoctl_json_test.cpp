// qelmoctl's JSON writer: every string escaped, output always valid UTF-8.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "json.h"

namespace qelmoctl {
namespace {

TEST(QelmoctlJson, EscapesEveryString) {
    struct Case {
        const char* name;
        std::string text;
        std::string escaped;
    } cases[] = {
        {"plain", "2.9.1234", "2.9.1234"},
        {"empty", "", ""},
        {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
        {"short escapes", "\n\r\t", "\\n\\r\\t"},
        {"other control bytes", std::string("\x01\x1f\x7f", 3), "\\u0001\\u001f\\u007f"},
        {"NUL inside", std::string("a\0b", 3), "a\\u0000b"},
        {"UTF-8 of 2, 3 and 4 bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"lone continuation byte", "a\x80z", "a\\ufffdz"},
        {"0xFF", "\xff", "\\ufffd"},
        {"sequence cut at the end", "\xe2\x82", "\\ufffd\\ufffd"},
        {"sequence cut by ASCII", "\xe2\x82z", "\\ufffd\\ufffdz"},
        {"overlong slash", "\xc0\xaf", "\\ufffd\\ufffd"},
        {"overlong three bytes", "\xe0\x80\xaf", "\\ufffd\\ufffd\\ufffd"},
        {"surrogate", "\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
        {"invalid lead before a valid sequence", "\xc3\xc3\xa9", "\\ufffd\xc3\xa9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonEscape(c.text), c.escaped) << c.name;
}

TEST(QelmoctlJson, ObjectMembersInOrderWithTheirForms) {
    EXPECT_EQ(JsonObject().Text(), "{}");
    EXPECT_EQ(JsonObject()
                  .String("result", "DRV_OK")
                  .Hex32("result_code", 0x201A0001u)
                  .Number("valid", 1)
                  .Fixed("seconds", 1.5, 3)
                  .String("version", "1.\"2\"")
                  .Text(),
              "{\"result\":\"DRV_OK\",\"result_code\":\"0x201a0001\",\"valid\":1,"
              "\"seconds\":1.500,\"version\":\"1.\\\"2\\\"\"}");
    // Keys are escaped too; numbers that JSON cannot hold become null.
    EXPECT_EQ(JsonObject().Fixed("a\"b", std::numeric_limits<double>::quiet_NaN(), 3).Text(),
              "{\"a\\\"b\":null}");
    EXPECT_EQ(JsonObject().Fixed("x", std::numeric_limits<double>::infinity(), 3).Text(),
              "{\"x\":null}");
    // The widest number in full: sign, 309 digits, point, 3 decimals.
    EXPECT_EQ(JsonObject().Fixed("x", -std::numeric_limits<double>::max(), 3).Text().size(),
              std::string("{\"x\":}").size() + 1 + 309 + 1 + 3);
}

}  // namespace
}  // namespace qelmoctl
