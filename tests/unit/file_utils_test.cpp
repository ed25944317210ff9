// Path splitting of the file utilities: pure string logic.
#include <gtest/gtest.h>

#include "deploy/file_utils.h"
#include "support/log_capture.h"

namespace qelmo {
namespace {

TEST(GetParentFolder, TakesTextBeforeLastSeparator) {
    const std::wstring untouched = L"<untouched>";
    struct Case {
        const wchar_t* path;
        int result;
        const wchar_t* folder;
    } cases[] = {
        {L"C:\\m\\v\\kipmon.dll", 1, L"C:\\m\\v"},
        {L"a/b", 1, L"a"},
        {L"C:\\m/v\\x/y", 1, L"C:\\m/v"},  // a backslash wins over a later slash
        {L"C:\\m\\v\\", 1, L"C:\\m\\v"},
        {L"\\x", 1, L""},
        {L"kipmon.dll", 0, nullptr},
        {L"", 0, nullptr},
    };
    for (const auto& c : cases) {
        std::wstring folder = untouched;
        EXPECT_EQ(GetParentFolder(c.path, folder), c.result) << test::Narrow(c.path);
        EXPECT_EQ(folder, c.folder ? std::wstring(c.folder) : untouched) << test::Narrow(c.path);
    }
}

TEST(FitsPathBuffer, RoomForTheNulIsRequired) {
    EXPECT_TRUE(FitsPathBuffer(std::wstring(MAX_PATH - 1, L'x')));
    EXPECT_FALSE(FitsPathBuffer(std::wstring(MAX_PATH, L'x')));
}

}  // namespace
}  // namespace qelmo
