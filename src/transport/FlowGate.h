#pragma once

#include "transport/FlowLimits.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

// The bounds over all client connections together, and fair to each of them. Any thread.
// - Reading: while the outstanding bytes of all connections are above the host mark, the
//   connections holding more than their share of the mark (the mark over the number of clients)
//   are not read, so a client that others crowd out is still read.
// - Turns: while the unwritten answers of all connections are above the host mark, the
//   connections with more than their share of them unwritten have their requests held back; and
//   while a configuration-daemon link is backed up, so have the connections whose last request
//   sent to the configuration daemon meanwhile. A connection whose requests need only the tree
//   goes on.
// A connection that must wait registers as a waiter and is woken when any of these bounds eases.
class FlowGate {
public:
    class Waiter {
    public:
        virtual ~Waiter() = default;
        // Called on whichever thread eased a bound.
        virtual void gateOpened() = 0;
    };

    explicit FlowGate(std::size_t highMark = flowlimits::hostHighMark,
                      std::size_t lowMark = flowlimits::hostLowMark,
                      std::size_t unfinishedBudget = flowlimits::unfinishedRequestsBudget);

    // A client connection came (+1) or went (-1).
    void changeClients(int delta);
    // Bytes taken (positive) or given back (negative) by client connections.
    void changeHostBytes(std::ptrdiff_t delta);
    // Answers not yet written by client connections, taken or given back.
    void changeAnswerBytes(std::ptrdiff_t delta);
    // A configuration-daemon link became backed up (true) or drained (false).
    void linkBackedUp(bool backedUp);
    // Bytes of unfinished requests handed to protocols, taken or given back; true when a
    // connection with `connectionBytes` of them is over its share of the budget and must go.
    bool changeUnfinishedBytes(std::ptrdiff_t delta, std::size_t connectionBytes = 0);
    // A configuration-daemon link was given a message: counted, so that a client connection can
    // tell whether its request sent to the configuration daemon.
    void noteLinkSend() { ++linkSends; }
    unsigned long linkSendCount() const { return linkSends; }
    // While a configuration-daemon link is backed up, the number of that backing up (counted from
    // 1 over the process's life); otherwise 0.
    unsigned long backup() const;

    // A connection's share of the requests waiting in the command queue read by read.
    std::size_t queueShare() const;
    // How many turns the next connection held starts behind: 0, 1, ... in turn, so that a crowd
    // held at once is spread over that many rounds.
    unsigned nextTurnsBehind() { return holds++ % flowlimits::heldCrowdSpread; }
    // Whether a connection holding `bytes` must stop reading; if so, `waiter` is remembered.
    bool wait(std::size_t bytes, std::weak_ptr<Waiter> waiter);
    // Whether a connection with `answers` unwritten, whose last request sent to the configuration
    // daemon during backing up number `sentDuring` (0: not while backed up), must hold its
    // requests back; if so, a given `waiter` is remembered.
    bool holdTurns(std::size_t answers, unsigned long sentDuring, std::weak_ptr<Waiter> waiter = {});

private:
    std::size_t shareLocked(std::size_t whole) const { return whole / (clients > 0 ? clients : 1); }
    // Sets `flag` by the hysteresis of the marks; true when it has just been cleared.
    bool eased(bool& flag, std::size_t value) const;
    void rememberLocked(std::weak_ptr<Waiter> waiter);
    void wakeAll();

    const std::size_t highMark;
    const std::size_t lowMark;
    const std::size_t unfinishedBudget;
    mutable std::mutex lock;
    std::size_t bytes = 0;
    bool hostOverMark = false;
    std::size_t answerBytes = 0;
    bool answersOver = false;
    int backedUpLinks = 0;
    unsigned long backups = 0;
    std::size_t clients = 0;
    std::size_t unfinishedBytes = 0;
    std::atomic<unsigned> holds{0};
    std::atomic<unsigned long> linkSends{0};
    std::vector<std::weak_ptr<Waiter>> waiters;  // woken when a bound eases
};
