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

TEST(BridgeSlots, RefusesBeyondTheLimitAndReusesAFreedSlot)
{
    auto slots = std::make_shared<BridgeSlots>(2);
    auto first = slots->take();
    auto second = slots->take();
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(slots->take());
    first.reset();
    EXPECT_TRUE(slots->take());
}
