#include "wire/NulFramer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::vector<std::string> drain(NulFramer& framer)
{
    std::vector<std::string> messages;
    for (std::string message; framer.next(message);)
        messages.push_back(message);
    return messages;
}
}  // namespace

TEST(NulFramer, CutsMessagesAcrossReadsKeepsTheTailAndOverflowsOnlyPastOneMebibyte)
{
    NulFramer framer;
    framer.append(std::string("one\0two\0th", 10));
    EXPECT_EQ(drain(framer), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(framer.pendingSize(), 2u);
    framer.append("r");
    EXPECT_TRUE(drain(framer).empty());
    framer.append(std::string("ee\0\0", 4));
    EXPECT_EQ(drain(framer), (std::vector<std::string>{"three", ""}));
    EXPECT_EQ(framer.pendingSize(), 0u);
    for (char c : std::string("a\0b\0c", 5))
        framer.append(std::string(1, c));
    EXPECT_EQ(drain(framer), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(framer.pendingSize(), 1u);

    framer.clear();
    framer.append(std::string(1 << 20, 'x'));
    EXPECT_FALSE(framer.overflowed());
    framer.append("y");
    EXPECT_TRUE(framer.overflowed());
    framer.clear();
    framer.append(std::string("ok\0", 3));
    EXPECT_EQ(drain(framer), std::vector<std::string>{"ok"});
}
