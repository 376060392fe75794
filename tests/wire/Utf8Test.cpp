#include "wire/Utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

TEST(Utf8, TakesOnlyWellFormedSequences)
{
    // Each sequence with the length it has when well formed (0: it is not).
    const std::pair<std::string, std::size_t> rows[] = {
        {"A", 1},
        {"\xC3\xA9", 2},          // é
        {"\xE2\x82\xAC", 3},      // €
        {"\xF0\x9F\x8E\xA5", 4},  // U+1F3A5
        {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF, the last code point
        {"\xC0\xAF", 0},          // an overlong '/'
        {"\xE0\x9F\xBF", 0},      // an overlong three-byte form
        {"\xED\xA0\x80", 0},      // a surrogate
        {"\xF4\x90\x80\x80", 0},  // beyond U+10FFFF
        {"\xE2\x82", 0},          // cut short
        {"\x80", 0},              // a continuation alone
        {"\xFF", 0},
    };
    for (const auto& [text, length] : rows) {
        EXPECT_EQ(utf8SequenceLength(text, 0), length) << text;
        EXPECT_EQ(isUtf8("x" + text + "y"), length != 0) << text;
    }
    EXPECT_EQ(validUtf8("a\xC0\xAF" "b\xE2\x82\xAC"), "a\xEF\xBF\xBD\xEF\xBF\xBD" "b\xE2\x82\xAC");
}

TEST(Utf8, AppendsEachCodePointInTheShortestForm)
{
    for (std::uint32_t code : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        std::string text;
        appendUtf8(text, code);
        EXPECT_EQ(text.size(), code < 0x80 ? 1u : code < 0x800 ? 2u : code < 0x10000 ? 3u : 4u) << code;
        EXPECT_EQ(utf8SequenceLength(text, 0), text.size()) << code;
    }
}
