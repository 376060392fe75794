#pragma once

#include "transport/FlowGate.h"

#include <atomic>
#include <cstddef>
#include <memory>

// What one client connection holds, counted against its bounds (FlowLimits.h): whole requests
// read and not yet handed to its protocol, answers not yet written, and apart from them the
// request it has begun and not ended, which has a budget of its own. It says when the connection must stop reading and when its requests must wait; the flow
// gate hears every change, and gets back what is still counted when the account goes. The event
// loop counts reads and writes, the worker hands requests over: counters are atomics.
class ClientAccount {
public:
    explicit ClientAccount(std::shared_ptr<FlowGate> gate) : gate(std::move(gate)) {}
    ~ClientAccount();
    ClientAccount(const ClientAccount&) = delete;
    ClientAccount& operator=(const ClientAccount&) = delete;

    // Counted among the clients that share the host's bounds from `join` to `leave`, once.
    void join();
    void leave();

    void requestsRead(std::size_t bytes) { take(bytes); }
    // Requests handed over or dropped; true when the connection has just come down to its low
    // mark (or to nothing) and may read again.
    bool requestsGone(std::size_t bytes) { return give(bytes); }
    void answersQueued(std::size_t bytes);
    // Answers written or dropped: whether the connection may read again, and whether its held
    // requests may go on, each true once as it comes down to the low mark.
    struct Eased {
        bool reading = false;
        bool requests = false;
    };
    Eased answersGone(std::size_t bytes);
    // The size of the request begun and not ended, after a read; true when the connection is
    // over its share of the budget of all of them and must go.
    bool unfinishedIs(std::size_t bytes);

    // Whether reading must stop now: over the connection's high mark, or over its share while
    // all connections together are over the host's. `waiter` is woken when the gate opens.
    bool readingMustWait(const std::weak_ptr<FlowGate::Waiter>& waiter) const;
    // Whether the next requests must wait: answers unwritten over the high mark, over its share
    // of all of them, or its last request sent to a configuration-daemon link that is backed up.
    bool requestsMustWait(const std::weak_ptr<FlowGate::Waiter>& waiter) const;

    // Around handing requests over: whether they sent to the configuration daemon while its link
    // was backed up, so that the next ones wait until it has drained.
    unsigned long daemonSends() const { return gate ? gate->linkSendCount() : 0; }
    void handedOver(unsigned long daemonSendsBefore);

    std::size_t outstanding() const { return outstandingBytes; }
    std::size_t unwrittenAnswers() const { return answerBytes; }
    std::size_t unfinished() const { return unfinishedBytes; }

private:
    void take(std::size_t bytes);
    bool give(std::size_t bytes);

    const std::shared_ptr<FlowGate> gate;
    std::atomic<std::size_t> outstandingBytes{0};
    std::atomic<std::size_t> answerBytes{0};
    std::atomic<std::size_t> unfinishedBytes{0};
    std::atomic<bool> joined{false};
    // Worker only: the backing up (FlowGate::backup) during which the last requests sent to the
    // configuration daemon; 0 when they did not, or the link was not backed up.
    unsigned long sentDuringBackup = 0;
};
