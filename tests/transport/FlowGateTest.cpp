#include "transport/FlowGate.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {
struct CountingWaiter : FlowGate::Waiter {
    void gateOpened() override { ++opened; }
    int opened = 0;
};

// Four clients share a gate whose marks are 100 and 50: a share is 25.
struct Scene {
    FlowGate gate{100, 50};
    std::shared_ptr<CountingWaiter> waiter = std::make_shared<CountingWaiter>();
    Scene() { gate.changeClients(4); }
};
}  // namespace

// One row per rule of the gate; each row starts from four clients and no bytes. Who is held
// while a bound holds is ClientAccount's test.
TEST(FlowGate, BoundsEaseAtTheirLowMarksAndWakeTheirWaitersOnce)
{
    const struct {
        const char* rule;
        std::function<bool(Scene&)> holds;
    } rows[] = {
        {"reading stays stopped until below the low mark, then every waiter wakes once",
         [](Scene& s) {
             s.gate.changeHostBytes(101);
             s.gate.wait(26, s.waiter);
             s.gate.wait(26, s.waiter);
             s.gate.changeHostBytes(-40);
             const bool stillHeld = s.gate.wait(26, s.waiter);
             s.gate.changeHostBytes(-12);
             return stillHeld && s.waiter->opened == 1 && !s.gate.wait(1000, s.waiter);
         }},
        {"fewer clients make a larger share",
         [](Scene& s) {
             s.gate.changeAnswerBytes(101);
             s.gate.changeClients(-2);
             return !s.gate.holdTurns(50, 0) && s.gate.holdTurns(51, 0);
         }},
        {"answers written down to the low mark wake the waiters",
         [](Scene& s) {
             s.gate.changeAnswerBytes(101);
             s.gate.holdTurns(26, 0, s.waiter);
             s.gate.changeAnswerBytes(-52);
             return s.waiter->opened == 1 && !s.gate.holdTurns(1000, 0);
         }},
        {"a backed-up link holds whom sent to it meanwhile, never reading; drained, it wakes them, "
         "and a new backing up does not hold an old sender",
         [](Scene& s) {
             s.gate.linkBackedUp(true);
             if (!s.gate.holdTurns(0, 1, s.waiter) || s.gate.holdTurns(0, 0) || s.gate.wait(1000, s.waiter))
                 return false;
             s.gate.linkBackedUp(false);
             const bool woken = s.waiter->opened == 1 && s.gate.backup() == 0 && !s.gate.holdTurns(0, 1);
             s.gate.linkBackedUp(true);
             return woken && !s.gate.holdTurns(0, 1) && s.gate.holdTurns(0, 2);
         }},
        {"the queue's budget is shared by the clients, and those held one after another start their "
         "turns spread over rounds",
         [](Scene& s) {
             const bool shared = s.gate.queueShare() == flowlimits::queuedRequestsBudget / 4;
             std::vector<unsigned> behind;
             for (unsigned held = 0; held <= flowlimits::heldCrowdSpread; ++held)
                 behind.push_back(s.gate.nextTurnsBehind());
             return shared && behind.front() == 0 && behind[1] == 1 &&
                    behind[flowlimits::heldCrowdSpread - 1] == flowlimits::heldCrowdSpread - 1 && behind.back() == 0;
         }},
    };
    for (const auto& row : rows) {
        Scene scene;
        EXPECT_TRUE(row.holds(scene)) << row.rule;
    }
}
