#include "transport/ClientAccount.h"

#include <gtest/gtest.h>

namespace {
constexpr std::size_t high = flowlimits::connectionHighMark;
constexpr std::size_t low = flowlimits::connectionLowMark;
}  // namespace

// Reading stops above the connection's high mark and goes on once it is down to the low mark;
// requests wait while the answers unwritten are above the mark, and go on at the low one.
TEST(ClientAccount, ReadingAndRequestsWaitAboveTheHighMarkAndGoOnAtTheLow)
{
    ClientAccount account(nullptr);
    account.requestsRead(high);
    EXPECT_FALSE(account.readingMustWait({}));
    account.requestsRead(1);
    EXPECT_TRUE(account.readingMustWait({}));
    EXPECT_FALSE(account.requestsGone(high + 1 - low));
    EXPECT_TRUE(account.requestsGone(1));
    EXPECT_FALSE(account.requestsGone(low - 2));
    EXPECT_TRUE(account.requestsGone(1));

    account.answersQueued(high + 1);
    EXPECT_TRUE(account.requestsMustWait({}));
    EXPECT_TRUE(account.readingMustWait({}));
    const ClientAccount::Eased first = account.answersGone(high + 1 - low);
    EXPECT_FALSE(first.requests || first.reading);
    EXPECT_FALSE(account.requestsMustWait({}));
    const ClientAccount::Eased second = account.answersGone(1);
    EXPECT_TRUE(second.requests && second.reading);
    EXPECT_EQ(account.outstanding(), low - 1);
}

// Over all clients, only those above their share wait: for reading, for the answers, and for
// a configuration-daemon link that their last requests sent to while it was backed up.
TEST(ClientAccount, SharedBoundsHoldOnlyThoseAboveTheirShareAndSendersToABackedUpLink)
{
    auto gate = std::make_shared<FlowGate>(100, 50);
    ClientAccount big(gate), small(gate);
    big.join();
    small.join();
    big.requestsRead(90);
    small.requestsRead(11);
    EXPECT_TRUE(big.readingMustWait({}));
    EXPECT_FALSE(small.readingMustWait({}));
    big.requestsGone(90);
    big.answersQueued(95);
    small.answersQueued(6);
    EXPECT_TRUE(big.requestsMustWait({}));
    EXPECT_FALSE(small.requestsMustWait({}));
    big.answersGone(95);

    gate->linkBackedUp(true);
    const unsigned long before = small.daemonSends();
    gate->noteLinkSend();
    small.handedOver(before);
    big.handedOver(big.daemonSends());
    EXPECT_TRUE(small.requestsMustWait({}));
    EXPECT_FALSE(big.requestsMustWait({}));
    gate->linkBackedUp(false);
    EXPECT_FALSE(small.requestsMustWait({}));
}

// Unfinished requests share a budget: a client over its share of it must go once all of them
// are over it; what an account still holds goes back to the gate with it.
TEST(ClientAccount, UnfinishedRequestOverItsShareOfTheBudgetMustGo)
{
    auto gate = std::make_shared<FlowGate>(1000, 500, 100);
    auto first = std::make_unique<ClientAccount>(gate);
    ClientAccount second(gate);
    first->join();
    second.join();
    EXPECT_FALSE(first->unfinishedIs(60));
    EXPECT_FALSE(second.unfinishedIs(50));
    EXPECT_TRUE(first->unfinishedIs(61));
    EXPECT_FALSE(first->unfinishedIs(0));
    EXPECT_FALSE(second.unfinishedIs(99));
    first->unfinishedIs(60);
    first.reset();
    EXPECT_FALSE(second.unfinishedIs(100));
    EXPECT_TRUE(second.unfinishedIs(101));
}
