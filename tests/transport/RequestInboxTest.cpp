#include "transport/RequestInbox.h"

#include "transport/FlowLimits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace {

// A link whose queue is the test's own: entries run when the test says, and everything the
// inbox does is written down in order ("read", "turn", "end" queued; "<requests>" handed over;
// "disconnect:<reason>"; "held", "free").
struct ScriptedLink : RequestInbox::Link {
    RequestInbox inbox{*this};
    std::deque<std::function<void()>> queue;
    std::vector<std::string> events;
    bool full = false;            // what mustWait answers
    std::size_t share = 1 << 20;  // what mayQueue allows
    unsigned behind = 0;          // what turnsBehind answers
    bool others = true;           // what othersWaiting answers

    void queueRead() override { queued("read", [this] { inbox.runRead(); }); }
    void queueTurn() override { queued("turn", [this] { inbox.runTurn(); }); }
    void queueEnd() override { queued("end", [this] { inbox.runEnd(); }); }
    bool mayQueue(std::size_t waiting, std::size_t adding) override { return waiting + adding <= share; }
    bool mustWait() override { return full; }
    unsigned turnsBehind() override { return behind; }
    bool othersWaiting() override { return others; }
    void holdChanged(bool held) override { events.push_back(held ? "held" : "free"); }
    void handOver(const std::string& requests) override
    {
        events.push_back(requests);
        if (requests == "slow\0"s)
            std::this_thread::sleep_for(flowlimits::turnAllowance * 20);
    }
    void runDisconnect(const std::string& reason) override { events.push_back("disconnect:" + reason); }

    void queued(const std::string& name, std::function<void()> entry)
    {
        events.push_back(name);
        queue.push_back(std::move(entry));
    }
    void runAll()
    {
        while (!queue.empty()) {
            std::function<void()> entry = std::move(queue.front());
            queue.pop_front();
            entry();
        }
    }
    std::vector<std::string> take() { return std::exchange(events, {}); }
};

}  // namespace

// Within its bounds a connection gets one entry per read, queued as the read completes, holding
// every request the read ended; what is not yet ended waits, and the end comes behind them all.
TEST(RequestInbox, EachReadIsOneEntryInArrivalOrderAndTheEndFollows)
{
    ScriptedLink link;
    const RequestInbox::Received first = link.inbox.receive("a\0b\0c"s);
    EXPECT_EQ(first.whole, 4u);
    EXPECT_EQ(first.unfinished, 1u);
    EXPECT_EQ(link.inbox.receive("c\0d"s).unfinished, 1u);
    link.inbox.receive("-unended");
    link.inbox.end("End of file", false);
    EXPECT_EQ(link.take(), (std::vector<std::string>{"read", "read", "end"}));
    link.runAll();
    EXPECT_EQ(link.take(), (std::vector<std::string>{"a\0b\0"s, "cc\0"s, "disconnect:End of file"}));
    link.inbox.receive("after\0"s);
    link.inbox.end("again", true);
    link.runAll();
    EXPECT_EQ(link.take(), std::vector<std::string>{});

    ScriptedLink flooded;
    const RequestInbox::Received received = flooded.inbox.receive(std::string(NulFramer::pendingLimit + 1, 'x'));
    EXPECT_TRUE(received.overflowed);
    EXPECT_EQ(received.unfinished, NulFramer::pendingLimit + 1);
}

// A connection that must wait is held: its requests go one per turn, each turn queued behind
// what came meanwhile, and once it has caught up it is back to one entry per read.
TEST(RequestInbox, HeldConnectionGoesOneRequestPerTurnUntilItCatchesUp)
{
    ScriptedLink link;
    link.full = true;
    link.inbox.receive("a\0b\0"s);
    link.inbox.receive("c\0"s);
    link.runAll();
    EXPECT_EQ(link.take(), (std::vector<std::string>{"read", "read", "held"}));
    link.inbox.wake();  // still full: the turn waits again
    link.runAll();
    EXPECT_EQ(link.take(), std::vector<std::string>{"turn"});
    link.full = false;
    link.inbox.wake();
    link.inbox.wake();
    link.inbox.receive("d\0"s);
    ASSERT_EQ(link.queue.size(), 1u);
    link.queue.front()();
    link.queue.pop_front();
    EXPECT_EQ(link.take(), (std::vector<std::string>{"turn", "a\0"s, "turn"}));
    link.runAll();
    EXPECT_EQ(link.take(), (std::vector<std::string>{"b\0"s, "turn", "c\0"s, "turn", "d\0"s, "turn", "free"}));
    link.inbox.receive("e\0"s);
    link.runAll();
    EXPECT_EQ(link.take(), (std::vector<std::string>{"read", "e\0"s}));
}

// A read that would put more than the connection's share in the queue holds it at once.
TEST(RequestInbox, ReadBeyondItsShareOfTheQueueHoldsTheConnection)
{
    ScriptedLink link;
    link.share = 4;
    link.inbox.receive("a\0b\0"s);
    link.inbox.receive("c\0"s);
    link.runAll();
    EXPECT_EQ(link.take(), (std::vector<std::string>{"read", "held", "turn", "a\0"s, "turn", "b\0"s, "turn", "c\0"s,
                                                     "turn", "free"}));
}

// A held request that took the worker longer than a turn's allowance is paid back by turns that
// hand nothing over while other work waits, so a crowd of costly requests gives others as much
// room as cheap ones; a crowd held at once is spread over rounds.
TEST(RequestInbox, HeldRequestOverItsAllowancePaysItBackInTurns)
{
    // A held connection sends a slow request and a quick one, then may go on.
    auto slowThenQuick = [](bool othersWaiting) {
        ScriptedLink link;
        link.full = true;
        link.others = othersWaiting;
        link.inbox.receive("slow\0b\0"s);
        link.runAll();
        link.full = false;
        link.inbox.wake();
        link.runAll();
        return link.take();
    };
    const std::vector<std::string> events = slowThenQuick(true);
    const auto slow = std::find(events.begin(), events.end(), "slow\0"s);
    const auto next = std::find(slow, events.end(), "b\0"s);
    ASSERT_NE(next, events.end());
    // 20 allowances spent: at least 19 more turns go by empty.
    EXPECT_GE(std::count(slow, next, "turn"), 20);
    // With no crowd waiting, it owes nobody.
    EXPECT_EQ(slowThenQuick(false),
              (std::vector<std::string>{"read", "held", "turn", "slow\0"s, "turn", "b\0"s, "turn", "free"}));

    // One of a crowd held at once starts the turns behind that it is given.
    ScriptedLink crowded;
    crowded.share = 0;
    crowded.behind = 2;
    crowded.inbox.receive("a\0"s);
    crowded.runAll();
    EXPECT_EQ(crowded.take(), (std::vector<std::string>{"held", "turn", "turn", "turn", "a\0"s, "turn", "free"}));
}

// A held client that leaves has what it sent handed over all the same, then its end; a link
// closed on this side drops what waits, and its end runs once.
TEST(RequestInbox, EndOfAHeldConnectionHandsOverOrDropsWhatWaitsThenDisconnectsOnce)
{
    ScriptedLink gone;
    gone.full = true;
    gone.inbox.receive("a\0b\0"s);
    gone.runAll();
    gone.inbox.end("End of file", false);
    gone.inbox.end("twice", false);
    gone.runAll();
    EXPECT_EQ(gone.take(), (std::vector<std::string>{"read", "held", "turn", "a\0"s, "turn", "b\0"s, "turn",
                                                     "disconnect:End of file"}));

    ScriptedLink closed;
    closed.full = true;
    closed.inbox.receive("a\0b\0c"s);
    closed.runAll();
    EXPECT_EQ(closed.inbox.end("Operation canceled", true), 4u);
    closed.inbox.receive("d\0"s);
    closed.runAll();
    closed.inbox.wake();
    closed.runAll();
    EXPECT_EQ(closed.take(), (std::vector<std::string>{"read", "held", "turn", "disconnect:Operation canceled"}));
}
