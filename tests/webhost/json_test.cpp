#include <gtest/gtest.h>

#include <string>

#include "json.h"

using webhost::detail::json_member;
using webhost::detail::json_quote;
using webhost::detail::json_scan;

namespace {

struct scanned {
    const char* value;
    std::size_t length;
};

scanned scan_key(const std::string& text, const std::string& key) {
    scanned s{};
    json_scan(text.data(), text.size(), key.data(), key.size(), &s.value, &s.length);
    return s;
}

scanned scan_index(const std::string& text, int index) {
    scanned s{};
    json_scan(text.data(), text.size(), nullptr, static_cast<std::size_t>(index), &s.value, &s.length);
    return s;
}

const std::string message = R"({"id":"a1","method":"setupInfo","params":[]})";

}  // namespace

TEST(JsonMemberKeys, PageMessageMembers) {
    EXPECT_EQ(json_member(message, "method", 0), "setupInfo");
    EXPECT_EQ(json_member(message, "params", 0), "[]");
    EXPECT_EQ(json_member(message, "id", 0), "a1");
    EXPECT_EQ(json_member(message, "absent", 0), "");
    // A key that matches a value's bytes, not a key, is not a key.
    EXPECT_EQ(json_member(message, "a1", 0), "");
    // A prefix of a key or a longer key does not match.
    EXPECT_EQ(json_member(message, "meth", 0), "");
    EXPECT_EQ(json_member(message, "methods", 0), "");
}

TEST(JsonMemberKeys, NestedValuesAndKeys) {
    const std::string nested = R"({"id":"x","params":[1,{"a":[2]}],"tail":true})";
    EXPECT_EQ(json_member(nested, "params", 0), R"([1,{"a":[2]}])");
    EXPECT_EQ(json_member(nested, "tail", 0), "true");
    EXPECT_EQ(json_member(R"({"a":{"method":"x"}})", "method", 0), "");
    EXPECT_EQ(json_member(R"({"a":{"method":"x"}})", "a", 0), R"({"method":"x"})");
    // A nested object's closing brace must not be taken for the end of a key candidate.
    EXPECT_EQ(json_member(R"({"o":{"k":1},"k":2})", "k", 0), "2");
}

TEST(JsonMemberKeys, FirstDuplicateWins) {
    EXPECT_EQ(json_member(R"({"k":1,"k":2})", "k", 0), "1");
}

TEST(JsonMemberKeys, WhitespaceAroundItems) {
    EXPECT_EQ(json_member("{\"n\": 12\n}", "n", 0), "12");
    EXPECT_EQ(json_member("{\"n\": 12\t}", "n", 0), "12");
    EXPECT_EQ(json_member("{\"n\": 12\r}", "n", 0), "12");
    EXPECT_EQ(json_member("{\"n\": 12 }", "n", 0), "12");
    EXPECT_EQ(json_member(" {\r\n \"a\" : \"b\" ,\t\"c\" : [ 1 , 2 ] } ", "c", 0), "[ 1 , 2 ]");
}

TEST(JsonMemberKeys, KeysCompareRawBytes) {
    // The escape in the key is not decoded.
    const std::string text = R"({"a\"b":1,"c":2})";
    EXPECT_EQ(json_member(text, "a\"b", 0), "");
    EXPECT_EQ(json_member(text, "a\\\"b", 0), "1");
    EXPECT_EQ(json_member(text, "c", 0), "2");
    // Non-string keys do not break the pairing of later members.
    EXPECT_EQ(json_member(R"({1:2,"k":3})", "k", 0), "3");
    EXPECT_EQ(json_member(R"({[1]:2,"k":3})", "k", 0), "3");
}

TEST(JsonMemberIndex, CountsItemsOfTheOutermostContainer) {
    const std::string array = R"([10,"x",true])";
    EXPECT_EQ(json_member(array, "", 0), "10");
    EXPECT_EQ(json_member(array, "", 1), "x");
    EXPECT_EQ(json_member(array, "", 2), "true");
    EXPECT_EQ(json_member(array, "", 3), "");
    EXPECT_EQ(json_member(array, "", -1), "");
    // In an object keys count as items too.
    EXPECT_EQ(json_member(R"({"a":[1,2],"b":3})", "", 1), "[1,2]");
    EXPECT_EQ(json_member(R"({"a":[1,2],"b":3})", "", 2), "b");
    EXPECT_EQ(json_member(R"({"a":[1,2],"b":3})", "", 3), "3");
}

TEST(JsonMemberIndex, LaterTopLevelValuesShareTheCounter) {
    EXPECT_EQ(json_member("[1][2]", "", 1), "2");
    EXPECT_EQ(json_member(R"({"a":1} {"k":5})", "k", 0), "5");
}

TEST(JsonMember, NoOutermostContainer) {
    for (const std::string text : {"\"abc\"", "12", "true", "", "   "}) {
        EXPECT_EQ(json_member(text, "abc", 0), "") << text;
        EXPECT_EQ(json_member(text, "", 0), "") << text;
        EXPECT_EQ(scan_index(text, 0).value, nullptr) << text;
    }
}

TEST(JsonMemberStrings, Escapes) {
    EXPECT_EQ(json_member(R"({"s":"a\"b\\c\/d\ne"})", "s", 0), "a\"b\\c/d\ne");
    EXPECT_EQ(json_member(R"({"s":"\b\f\r\t"})", "s", 0), "\b\f\r\t");
    EXPECT_EQ(json_member(R"({"s":"x\u0041y"})", "s", 0), "");
    EXPECT_EQ(json_member(R"({"s":""})", "s", 0), "");
    EXPECT_EQ(json_member(R"({"s":"\\"})", "s", 0), "\\");
    EXPECT_EQ(json_member(R"({"s":"\q"})", "s", 0), "");
}

TEST(JsonMemberStrings, Utf8PassesThroughAndBadBytesAreRejected) {
    EXPECT_EQ(json_member("{\"s\":\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"}", "s", 0),
              "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(json_member("{\"s\":\"a\nb\"}", "s", 0), "");
    EXPECT_EQ(json_member(std::string("{\"s\":\"a\0b\"}", 11), "s", 0), "");
    EXPECT_EQ(json_member("{\"s\":\"a\x7f\"}", "s", 0), "");
    EXPECT_EQ(json_member("{\"s\":\"a\x80\"}", "s", 0), "");
    // A lead byte followed by too few continuation bytes.
    EXPECT_EQ(json_member("{\"s\":\"\xe2\x82\"}", "s", 0), "");
    // Bytes 0xF7..0xFF count as plain string bytes.
    EXPECT_EQ(json_member("{\"s\":\"\xff\"}", "s", 0), "\xff");
}

TEST(JsonMemberLiterals, ByteRangeOnly) {
    EXPECT_EQ(json_member(R"({"a":tru})", "a", 0), "tru");
    EXPECT_EQ(json_member(R"({"a":-x,"b":1})", "b", 0), "1");
    EXPECT_EQ(json_member(R"({"a":-1.5e+3})", "a", 0), "-1.5e+3");
    // A literal may not begin with other letters.
    EXPECT_EQ(json_member(R"({"a":xyz})", "a", 0), "");
    // Quote or backslash inside a literal: malformed.
    EXPECT_EQ(json_member(R"({"a":1"2})", "a", 0), "");
    EXPECT_EQ(json_member(R"({"a":1\2})", "a", 0), "");
    EXPECT_EQ(json_member("{\"a\":1\x7f}", "a", 0), "");
}

TEST(JsonScan, OutputsTellNotReachedFromBegunButBroken) {
    auto s = scan_key(message, "method");
    ASSERT_NE(s.value, nullptr);
    EXPECT_EQ(std::string(s.value, s.length), "\"setupInfo\"");
    EXPECT_EQ(s.value, message.data() + message.find("\"setupInfo\""));

    s = scan_key(R"({"a":1,"b":"x)", "b");
    ASSERT_NE(s.value, nullptr);
    EXPECT_EQ(s.length, 0u);
    s = scan_key(R"({"a":[1,2)", "a");
    ASSERT_NE(s.value, nullptr);
    EXPECT_EQ(s.length, 0u);
    s = scan_key(R"({"a":12)", "a");  // a literal never terminated
    ASSERT_NE(s.value, nullptr);
    EXPECT_EQ(s.length, 0u);
    EXPECT_EQ(json_member(R"({"a":12)", "a", 0), "");

    // Broken before the value: never reached.
    s = scan_key("{\"a\"\x01:1}", "a");
    EXPECT_EQ(s.value, nullptr);
    EXPECT_EQ(s.length, 0u);
}

TEST(JsonScan, StopsAtTheEndOfTheValue) {
    // What follows the value is never read, so garbage there does not matter.
    const std::string text = std::string(R"({"a":[1],)") + "\x01\x02 not json";
    EXPECT_EQ(json_member(text, "a", 0), "[1]");
    // The size bounds the scan; bytes beyond it are not part of the text.
    const std::string longer = R"({"a":"xy"})";
    const char* value = nullptr;
    std::size_t length = 99;
    json_scan(longer.data(), 8, "a", 1, &value, &length);  // ends inside "xy
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(length, 0u);
}

TEST(JsonQuote, Examples) {
    EXPECT_EQ(json_quote(""), "\"\"");
    EXPECT_EQ(json_quote("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(json_quote("\x01\x1f"), "\"\\u0001\\u001f\"");
    EXPECT_EQ(json_quote("/"), "\"/\"");
    EXPECT_EQ(json_quote("\xc3\xa9"), "\"\xc3\xa9\"");
    EXPECT_EQ(json_quote("\\\b\t\n\f\r\x0b\x7f"), "\"\\\\\\b\\t\\n\\f\\r\\u000b\x7f\"");
    EXPECT_EQ(json_quote(std::string("\0", 1)), "\"\\u0000\"");
}
