#include "OutboundQueue.h"

#include "BridgeSlots.h"

#include <gtest/gtest.h>

#include <string>

TEST(OutboundQueue, HoldsBackAboveTheHighMarkUntilDrainedToTheLowMark)
{
    OutboundQueue queue(3000, 1100);
    EXPECT_TRUE(queue.push(std::string(1000, 'a')));  // the writer was idle
    EXPECT_FALSE(queue.push(std::string(1000, 'b')));  // it is busy now
    EXPECT_FALSE(queue.holdsBack());
    queue.push(std::string(1000, 'c'));
    EXPECT_TRUE(queue.holdsBack());
    EXPECT_TRUE(queue.pop());  // two left: still above the low mark
    EXPECT_TRUE(queue.holdsBack());
    EXPECT_EQ(queue.front(), std::string(1000, 'b'));
    EXPECT_TRUE(queue.pop());
    EXPECT_FALSE(queue.holdsBack());
    EXPECT_FALSE(queue.pop());
    EXPECT_EQ(queue.bytes(), 0u);
}

// A flood of one-byte messages would otherwise hold thirty times what it counts.
TEST(OutboundQueue, CountsEachMessagesOverheadBesidesItsBytes)
{
    OutboundQueue queue(1 << 20, 1 << 18);
    std::size_t pushed = 0;
    while (!queue.holdsBack() && pushed < (1 << 20))
        queue.push("1"), ++pushed;
    EXPECT_LE(pushed, (1u << 20) / 32 + 1);
    EXPECT_GE(pushed, (1u << 20) / 64);
    while (queue.pop())
        ;
    queue.push(std::string(100000, 'x'));
    EXPECT_GE(queue.bytes(), 100000u);
    EXPECT_LE(queue.bytes(), 100000u + 64);
}

TEST(BridgeSlots, RefusesBeyondEachClientsShareAndTheLimitKeepingTheLastForNewClients)
{
    auto slots = std::make_shared<BridgeSlots>(5, 2, 2);
    auto first = slots->take("loopback");
    auto second = slots->take("loopback");
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(slots->take("loopback"));
    auto other = slots->take("192.0.2.7");
    ASSERT_TRUE(other);
    EXPECT_FALSE(slots->take("192.0.2.7"));  // two left: only for clients holding none
    auto third = slots->take("192.0.2.8");
    auto fourth = slots->take("192.0.2.9");
    EXPECT_TRUE(third && fourth);
    EXPECT_FALSE(slots->take("192.0.2.10"));
    first.reset();
    EXPECT_FALSE(slots->take("loopback"));  // it still holds one, and one is left
    second.reset();
    EXPECT_TRUE(slots->take("loopback"));
}
