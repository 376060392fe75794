#include "JsonText.h"

#include "Bounds.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(JsonText, PassesOnlyOneCompleteJsonValueInUtf8WithinTheNestingBound)
{
    for (const std::string text : {R"({"type":"get_devices","refresh":true})",
                                   " {\"a\": [1, -2.5e3, \"x\\u00e9\\n\", null, false, {}, []]}\r\n",
                                   "\"Gr\xC3\xBC\xC3\x9F\xE2\x82\xAC\xF0\x9F\x8E\x9B\"", "42"})
        EXPECT_TRUE(isJsonText(text, bounds::maxJsonDepth)) << text;
    // A NUL would cut the request in two; then a truncated, an overlong, a surrogate and a
    // beyond-U+10FFFF sequence.
    for (const std::string& text : {""s, "{"s, R"({"a":1,})"s, R"({"a" 1})"s, "[1 2]"s, R"({"a":1}{"b":2})"s,
                                   R"({"type":"x"} trailing)"s, R"(["\x"])"s, R"(["\u12G4"])"s, "[01]"s, "[1.]"s,
                                   "[tru]"s, "[\"tab\there\"]"s, "{\"a\":\"b\0c\"}"s, "\"\xC3\""s,
                                   "\"\xC0\xAF\""s, "\"\xED\xA0\x80\""s, "\"\xF4\x90\x80\x80\""s, "\"\xFF\""s})
        EXPECT_FALSE(isJsonText(text, bounds::maxJsonDepth)) << text;
    // Nesting is bounded without recursing.
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(isJsonText(nested(64), bounds::maxJsonDepth));
    EXPECT_FALSE(isJsonText(nested(65), bounds::maxJsonDepth));
    EXPECT_FALSE(isJsonText("{\"a\":{\"b\":{\"c\":{}}}}", 3));
    EXPECT_FALSE(isJsonText(nested(1 << 20), bounds::maxJsonDepth));
}
