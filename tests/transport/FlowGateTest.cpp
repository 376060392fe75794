#include "transport/FlowGate.h"

#include <gtest/gtest.h>

namespace {
struct CountingWaiter : FlowGate::Waiter {
    void gateOpened() override { ++opened; }
    int opened = 0;
};
}  // namespace

// Closed above the high mark until below the low one, and while any link is backed up; each
// opening wakes the waiters once.
TEST(FlowGate, OpensBelowTheLowMarkWithNoLinkBackedUp)
{
    FlowGate gate(100, 50);
    auto waiter = std::make_shared<CountingWaiter>();
    EXPECT_FALSE(gate.wait(waiter));

    gate.changeHostBytes(101);
    EXPECT_TRUE(gate.wait(waiter));
    gate.changeHostBytes(-40);
    EXPECT_FALSE(gate.isOpen());
    gate.linkBackedUp(true);
    gate.changeHostBytes(-61);
    EXPECT_EQ(waiter->opened, 0);
    gate.linkBackedUp(false);
    EXPECT_EQ(waiter->opened, 1);
    EXPECT_TRUE(gate.isOpen());

    gate.linkBackedUp(true);
    EXPECT_TRUE(gate.wait(waiter));
    gate.linkBackedUp(false);
    gate.changeHostBytes(0);
    EXPECT_EQ(waiter->opened, 2);
    EXPECT_EQ(gate.hostBytes(), 0u);
}
