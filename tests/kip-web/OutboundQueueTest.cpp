#include "OutboundQueue.h"

#include "BridgeSlots.h"

#include <gtest/gtest.h>

TEST(OutboundQueue, HoldsBackAboveTheHighMarkUntilDrainedToTheLowMark)
{
    OutboundQueue queue(10, 4);
    EXPECT_TRUE(queue.push("aaaa"));    // the writer was idle
    EXPECT_FALSE(queue.push("bbbb"));   // it is busy now
    EXPECT_FALSE(queue.holdsBack());
    queue.push("ccc");                  // 11 bytes
    EXPECT_TRUE(queue.holdsBack());
    EXPECT_TRUE(queue.pop());           // 7 bytes: still above the low mark
    EXPECT_TRUE(queue.holdsBack());
    EXPECT_EQ(queue.front(), "bbbb");
    EXPECT_TRUE(queue.pop());           // 3 bytes
    EXPECT_FALSE(queue.holdsBack());
    EXPECT_FALSE(queue.pop());
    EXPECT_EQ(queue.bytes(), 0u);
}

TEST(BridgeSlots, RefusesBeyondEachClientsShareAndTheLimitAndReusesAFreedSlot)
{
    auto slots = std::make_shared<BridgeSlots>(3, 2);
    auto first = slots->take("loopback");
    auto second = slots->take("loopback");
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(slots->take("loopback"));
    auto other = slots->take("192.0.2.7");
    EXPECT_TRUE(other);
    EXPECT_FALSE(slots->take("192.0.2.8"));
    first.reset();
    EXPECT_TRUE(slots->take("loopback"));
}
