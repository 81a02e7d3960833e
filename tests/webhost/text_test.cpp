#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "text.h"

using webhost::detail::widen_strict;

TEST(WidenStrict, ValidText) {
    EXPECT_EQ(widen_strict(""), L"");
    EXPECT_EQ(widen_strict("abc"), L"abc");
    EXPECT_EQ(widen_strict("caf\xc3\xa9"), L"caf\u00e9");
    const std::wstring pair = widen_strict("\xf0\x9f\x98\x80");
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair, std::wstring(L"\xd83d\xde00"));
}

TEST(WidenStrict, ZeroBytesAreKept) {
    const std::wstring wide = widen_strict(std::string("a\0b", 3));
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(wide, std::wstring(L"a\0b", 3));
}

TEST(WidenStrict, InvalidTextBecomesEmpty) {
    EXPECT_EQ(widen_strict("\xff"), L"");
    EXPECT_EQ(widen_strict("abc\xff"), L"");
    EXPECT_EQ(widen_strict("\xc3"), L"");             // cut-off sequence
    EXPECT_EQ(widen_strict("\xc0\xaf"), L"");         // overlong form of '/'
    EXPECT_EQ(widen_strict("\xed\xa0\x80"), L"");     // encoded surrogate
    EXPECT_EQ(widen_strict("\xf4\x90\x80\x80"), L""); // above U+10FFFF
}

TEST(WidenStrict, LengthBeyondTheSystemCountIsRefused) {
    // Only the length is too large: a conversion that truncated it to 32 bits would read the
    // three bytes and return "abc".
    const char text[] = "abc";
    const std::string_view huge(text, (std::size_t{1} << 32) + 3);
    EXPECT_EQ(widen_strict(huge), L"");
}
