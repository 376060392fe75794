#include "transport/FlowGate.h"

#include <gtest/gtest.h>

namespace {
struct CountingWaiter : FlowGate::Waiter {
    void gateOpened() override { ++opened; }
    int opened = 0;
};
}  // namespace

// Above the high mark until below the low one; each easing wakes every waiter once, a waiter that
// asked twice included.
TEST(FlowGate, BoundsEaseBelowTheLowMarkAndWakeTheirWaitersOnce)
{
    FlowGate gate(100, 50);
    auto waiter = std::make_shared<CountingWaiter>();
    EXPECT_FALSE(gate.wait(200, waiter));

    gate.changeHostBytes(101);
    EXPECT_TRUE(gate.wait(200, waiter));
    EXPECT_TRUE(gate.wait(200, waiter));
    gate.changeHostBytes(-40);
    EXPECT_TRUE(gate.wait(200, waiter));
    gate.changeHostBytes(-61);
    EXPECT_EQ(waiter->opened, 1);
    EXPECT_FALSE(gate.wait(200, waiter));
    EXPECT_EQ(gate.hostBytes(), 0u);

    gate.changeAnswerBytes(101);
    EXPECT_TRUE(gate.holdTurns(200, 0, waiter));
    gate.changeAnswerBytes(-101);
    EXPECT_EQ(waiter->opened, 2);
    EXPECT_FALSE(gate.holdTurns(200, 0));
}

// Over the host mark only the connections above their share (the mark over the clients) wait;
// a backed-up link holds only the connections whose last request went to it meanwhile, and never
// reading.
TEST(FlowGate, CrowdingHoldsOnlyConnectionsAboveTheirShareAndABackedUpLinkOnlyItsSenders)
{
    FlowGate gate(100, 50);
    auto waiter = std::make_shared<CountingWaiter>();
    gate.changeClients(4);
    gate.changeHostBytes(101);
    gate.changeAnswerBytes(101);
    EXPECT_FALSE(gate.wait(25, waiter));
    EXPECT_TRUE(gate.wait(26, waiter));
    EXPECT_FALSE(gate.holdTurns(25, 0, waiter));
    EXPECT_TRUE(gate.holdTurns(26, 0, waiter));
    gate.changeClients(-2);
    EXPECT_FALSE(gate.holdTurns(50, 0));

    gate.changeHostBytes(-101);
    gate.changeAnswerBytes(-101);
    const int opened = waiter->opened;
    EXPECT_EQ(gate.backup(), 0u);
    gate.linkBackedUp(true);
    EXPECT_EQ(gate.backup(), 1u);
    EXPECT_FALSE(gate.wait(1000, waiter));
    EXPECT_FALSE(gate.holdTurns(0, 0, waiter));
    EXPECT_TRUE(gate.holdTurns(0, 1, waiter));
    gate.linkBackedUp(false);
    EXPECT_EQ(waiter->opened, opened + 1);
    EXPECT_FALSE(gate.holdTurns(0, 1));
    // A sender of an earlier backing up goes on through the next.
    gate.linkBackedUp(true);
    EXPECT_FALSE(gate.holdTurns(0, 1));
    EXPECT_TRUE(gate.holdTurns(0, 2));
}
