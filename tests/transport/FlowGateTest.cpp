#include "transport/FlowGate.h"

#include <gtest/gtest.h>

namespace {
struct CountingWaiter : FlowGate::Waiter {
    void gateOpened() override { ++opened; }
    int opened = 0;
};
}  // namespace

// Above the high mark until below the low one, and then only for the connections above their
// share (the mark over the clients); each easing wakes every waiter once, one that asked twice
// included.
TEST(FlowGate, HoldsOnlyConnectionsAboveTheirShareOrSendingToABackedUpLink)
{
    FlowGate gate(100, 50);
    auto waiter = std::make_shared<CountingWaiter>();
    gate.changeClients(4);
    EXPECT_FALSE(gate.wait(200, waiter));
    gate.changeHostBytes(101);
    gate.changeAnswerBytes(101);
    EXPECT_FALSE(gate.wait(25, waiter));
    EXPECT_TRUE(gate.wait(26, waiter));
    EXPECT_TRUE(gate.wait(26, waiter));
    EXPECT_FALSE(gate.holdTurns(25, 0, waiter));
    EXPECT_TRUE(gate.holdTurns(26, 0, waiter));
    gate.changeHostBytes(-40);
    EXPECT_TRUE(gate.wait(26, waiter));
    gate.changeHostBytes(-61);
    EXPECT_EQ(waiter->opened, 1);
    EXPECT_FALSE(gate.wait(200, waiter));
    EXPECT_TRUE(gate.holdTurns(26, 0, waiter));
    gate.changeClients(-2);
    EXPECT_FALSE(gate.holdTurns(50, 0));
    gate.changeAnswerBytes(-101);
    EXPECT_EQ(waiter->opened, 2);

    // A backed-up link holds only the connections whose last request went to it during that
    // backing up, and never reading.
    EXPECT_EQ(gate.backup(), 0u);
    gate.linkBackedUp(true);
    EXPECT_EQ(gate.backup(), 1u);
    EXPECT_FALSE(gate.wait(1000, waiter));
    EXPECT_FALSE(gate.holdTurns(0, 0, waiter));
    EXPECT_TRUE(gate.holdTurns(0, 1, waiter));
    gate.linkBackedUp(false);
    EXPECT_EQ(waiter->opened, 3);
    EXPECT_FALSE(gate.holdTurns(0, 1));
    gate.linkBackedUp(true);
    EXPECT_FALSE(gate.holdTurns(0, 1));
    EXPECT_TRUE(gate.holdTurns(0, 2));
}
