#include "wire/JsonNesting.h"

#include <gtest/gtest.h>

#include <string>

TEST(JsonNesting, FindsTheFirstBracketPastTheLimitOutsideStrings)
{
    constexpr std::size_t none = std::string::npos;
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_EQ(jsonTooDeepAt(nested(64)), none);
    EXPECT_EQ(jsonTooDeepAt(nested(65)), 64u);
    EXPECT_EQ(jsonTooDeepAt("{\"a\":{\"b\":[]}}", 2), 10u);
    // A closed level gives its place back; a stray closer makes no room for more.
    EXPECT_EQ(jsonTooDeepAt("[[]][[]]", 2), none);
    EXPECT_EQ(jsonTooDeepAt("]][[[", 2), 4u);
    // Brackets in strings do not count, nor does an escaped quote end one; an escaped
    // backslash does not escape the quote after it.
    EXPECT_EQ(jsonTooDeepAt("[\"[[\\\"[[\"]", 1), none);
    EXPECT_EQ(jsonTooDeepAt("[\"\\\\\"[]", 1), 5u);

    // Breadth is bounded too, by the values' separators outside strings.
    std::string values = "[" + std::string(jsonValueLimit - 1, ',') + "]";
    EXPECT_FALSE(holdsTooManyValues(values));
    EXPECT_TRUE(holdsTooManyValues(values + ","));
    EXPECT_FALSE(holdsTooManyValues("[\"" + std::string(10000, ',') + "\"]"));
}
