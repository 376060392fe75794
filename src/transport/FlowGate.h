#pragma once

#include "transport/FlowLimits.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

// Whether client connections may be read, over all of them together: closed while their
// outstanding bytes together are above the host mark or while a configuration-daemon link is
// backed up. A client link that finds it closed waits on it and is resumed when it opens.
// Any thread.
class FlowGate {
public:
    class Waiter {
    public:
        virtual ~Waiter() = default;
        // Called on whichever thread opened the gate or made room for answers.
        virtual void gateOpened() = 0;
    };

    explicit FlowGate(std::size_t highMark = flowlimits::hostHighMark,
                      std::size_t lowMark = flowlimits::hostLowMark);

    bool isOpen() const;
    // Bytes taken (positive) or given back (negative) by client connections.
    void changeHostBytes(std::ptrdiff_t delta);
    // A configuration-daemon link became backed up (true) or drained (false).
    void linkBackedUp(bool backedUp);
    // Remembers `waiter` until the gate opens; false, remembering nothing, when it is open.
    bool wait(std::weak_ptr<Waiter> waiter);

    // Answers not yet written, over all client connections: above the host mark no received
    // request is handed on, until they are down to the low mark.
    void changeAnswerBytes(std::ptrdiff_t delta);
    bool answersOverMark() const;
    // Remembers `waiter` until answers are below the mark; false when they are.
    bool waitForAnswerRoom(std::weak_ptr<Waiter> waiter);

    std::size_t hostBytes() const;

private:
    bool openLocked() const { return !hostOverMark && backedUpLinks == 0; }
    // Takes the waiters when the gate has just opened; called with the lock held.
    std::vector<std::weak_ptr<Waiter>> takeWaitersIfOpened(bool wasOpen);
    static void wake(const std::vector<std::weak_ptr<Waiter>>& waiters);

    const std::size_t highMark;
    const std::size_t lowMark;
    mutable std::mutex lock;
    std::size_t bytes = 0;
    bool hostOverMark = false;
    std::size_t answerBytes = 0;
    bool answersOver = false;
    int backedUpLinks = 0;
    std::vector<std::weak_ptr<Waiter>> waiters;  // woken when the gate opens or answers have room
};
