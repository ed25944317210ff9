// MD5 against the RFC 1321 suite, the padding boundaries, and input fed in pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "config/md5.h"

namespace qelmo {
namespace {

std::wstring Hex(const std::string& text) {
    return ToLowerHex(Md5Of(text.data(), text.size()));
}

TEST(Md5, Rfc1321TestSuite) {
    struct Case {
        const char* input;
        const wchar_t* digest;
    } cases[] = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e"},
        {"a", L"0cc175b9c0f1b6a831c399e269772661"},
        {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         L"d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         L"57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Hex(c.input), c.digest) << c.input;
}

// Lengths around the 56-byte padding limit and the 64-byte block edge, where a padding fault
// (length field in the wrong block, a block too few) shows up.
TEST(Md5, PaddingBoundaries) {
    struct Case {
        size_t length;
        const wchar_t* digest;
    } cases[] = {
        {55, L"ef1772b6dff9a122358552954ad0df65"},  {56, L"3b0c8ac703f828b04c6c197006d17218"},
        {57, L"652b906d60af96844ebd21b674f35e93"},  {63, L"b06521f39153d618550606be297466d5"},
        {64, L"014842d480b571495a4a0363793f7367"},  {65, L"c743a45e0d2e6a95cb859adae0248435"},
        {119, L"8a7bd0732ed6a28ce75f6dabc90e1613"}, {120, L"5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Hex(std::string(c.length, 'a')), c.digest) << c.length;
}

TEST(Md5, InputFedInPiecesGivesTheSameDigest) {
    const std::string text(1000, 'a');
    const std::wstring whole = L"cabe45dcc9ae5b66ba86600cca6b8ba8";
    ASSERT_EQ(Hex(text), whole);
    for (size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 333u}) {
        Md5 md5;
        for (size_t at = 0; at < text.size(); at += piece)
            md5.Update(text.data() + at, std::min(piece, text.size() - at));
        EXPECT_EQ(ToLowerHex(md5.Final()), whole) << "pieces of " << piece;
    }
}

}  // namespace
}  // namespace qelmo
