#include "JsonText.h"

#include "Bounds.h"

#include <gtest/gtest.h>

#include <string>

TEST(JsonText, PassesOnlyOneCompleteJsonValueInUtf8)
{
    const std::pair<std::string, bool> cases[] = {
        {R"({"type":"get_devices","refresh":true})", true},
        {" {\"a\": [1, -2.5e3, \"x\\u00e9\\n\", null, false, {}, []]}\r\n", true},
        {"\"Gr\xC3\xBC\xC3\x9F\xE2\x82\xAC\xF0\x9F\x8E\x9B\"", true},
        {"42", true},
        {"", false},
        {"{", false},
        {R"({"a":1,})", false},
        {R"({"a" 1})", false},
        {R"([1 2])", false},
        {R"({"a":1}{"b":2})", false},
        {R"({"type":"x"} trailing)", false},
        {R"(["\x"])", false},
        {R"(["\u12G4"])", false},
        {"[01]", false},
        {"[1.]", false},
        {"[tru]", false},
        {std::string("{\"a\":\"b\0c\"}", 11), false},  // a NUL would cut the request in two
        {"[\"tab\there\"]", false},
        {"\"\xC3\"", false},                  // truncated sequence
        {"\"\xC0\xAF\"", false},              // overlong
        {"\"\xED\xA0\x80\"", false},          // surrogate
        {"\"\xF4\x90\x80\x80\"", false},      // beyond U+10FFFF
        {"\"\xFF\"", false},
    };
    for (const auto& [text, json] : cases)
        EXPECT_EQ(isJsonText(text, bounds::maxJsonDepth), json) << text;
}

TEST(JsonText, RefusesNestingBeyondTheBoundWithoutRecursing)
{
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(isJsonText(nested(64), bounds::maxJsonDepth));
    EXPECT_FALSE(isJsonText(nested(65), bounds::maxJsonDepth));
    EXPECT_FALSE(isJsonText("{\"a\":{\"b\":{\"c\":{}}}}", 3));
    EXPECT_FALSE(isJsonText(nested(1 << 20), bounds::maxJsonDepth));
}
