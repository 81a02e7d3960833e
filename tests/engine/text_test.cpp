#include <gtest/gtest.h>

#include "text.h"

TEST(TextConversion, EmptyAsciiAndNonAsciiRoundTrip) {
    EXPECT_EQ(wide_to_utf8(L""), "");
    EXPECT_EQ(utf8_to_wide(""), L"");
    EXPECT_EQ(wide_to_utf8(L"Vantrel Beta.py"), "Vantrel Beta.py");
    EXPECT_EQ(wide_to_utf8(L"caf\u00e9"), "caf\xc3\xa9");
    // U+1F600 is four bytes in UTF-8 and a surrogate pair in UTF-16.
    EXPECT_EQ(wide_to_utf8(L"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(utf8_to_wide("\xf0\x9f\x98\x80"), std::wstring(L"\xd83d\xde00"));
    EXPECT_EQ(utf8_to_wide("caf\xc3\xa9"), L"caf\u00e9");
}

TEST(TextConversion, ZeroUnitsInsideAreKept) {
    const std::wstring w(L"a\0b", 3);
    EXPECT_EQ(wide_to_utf8(w), std::string("a\0b", 3));
    EXPECT_EQ(utf8_to_wide(std::string("a\0b", 3)), w);
}

TEST(TextConversion, InvalidInputBecomesReplacementCharacterNotEmpty) {
    const std::wstring bad = utf8_to_wide("a\xff" "b");
    ASSERT_FALSE(bad.empty());
    EXPECT_NE(bad.find(L'\xfffd'), std::wstring::npos);
    EXPECT_EQ(bad.front(), L'a');
    EXPECT_EQ(bad.back(), L'b');
    // A lone surrogate in UTF-16 comes out as the three bytes of U+FFFD.
    EXPECT_EQ(wide_to_utf8(std::wstring(L"x\xd800y")), "x\xef\xbf\xbdy");
}
