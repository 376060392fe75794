#pragma once

#include "wire/NulFramer.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

// The requests a client has sent and the worker has not yet handled, and when the worker takes
// them. Bytes are cut at the NUL as they arrive; the request not yet ended stays here.
//
// A connection within its bounds has the whole requests of each read handed over in one entry
// of the command queue, queued as the read completes: the worker handles every connection's
// reads in the order they came, as it handles every other entry. A connection that goes beyond
// its share of the queue, or must wait (its link says which), is held: from then on its requests
// are handed over one per turn, each turn queued behind whatever was queued meanwhile, so it gets
// no more than its share of the worker; a request that took the worker longer than a turn's
// allowance (FlowLimits.h) is paid back by turns that hand nothing over while other work waits.
// Once it has caught up it is handled read by read again.
// Either way its own requests keep their order.
//
// When the client goes, what it sent is still handed over and then its disconnect runs; when the
// link is closed on this side, what waits is dropped. The disconnect runs once, on the worker,
// after the last delivery. Any thread; the lock is the inbox's own, and the link's calls below
// are made with it held except `handOver` and `runDisconnect`.
class RequestInbox {
public:
    class Link {
    public:
        virtual ~Link() = default;
        // Queue one entry that calls `runRead`, `runTurn` or `runEnd`, keeping the link alive.
        virtual void queueRead() = 0;
        virtual void queueTurn() = 0;
        virtual void queueEnd() = 0;
        // Event loop: whether a read may be queued as it comes, with `waiting` bytes of the
        // connection's requests in the queue already; if not, the connection is held.
        virtual bool mayQueue(std::size_t waiting, std::size_t adding) = 0;
        // Worker: whether the connection must wait now; if so the link calls `wake` when it may
        // go on. Both are called with the inbox's lock held: they must not call back into it.
        virtual bool mustWait() = 0;
        // How many turns a connection newly held starts behind: a crowd held at once would
        // otherwise take its first turns in one round, each at its full cost.
        virtual unsigned turnsBehind() = 0;
        // Worker: whether a crowd of other entries waits for the worker; a turn is paid back only
        // to make room for them, and a connection with few others goes on.
        virtual bool othersWaiting() = 0;
        // The connection started (true) or stopped being held.
        virtual void holdChanged(bool held) = 0;
        // Worker, without the lock: whole requests to the protocol, and the link's end.
        virtual void handOver(const std::string& requests) = 0;
        virtual void runDisconnect(const std::string& reason) = 0;
    };

    explicit RequestInbox(Link& link) : link(link) {}

    struct Received {
        std::size_t whole = 0;       // bytes of the requests this read ended, now waiting
        std::size_t unfinished = 0;  // bytes of the request begun and not ended
        bool overflowed = false;     // more than NulFramer::pendingLimit of them
    };
    // Event loop: the bytes of one read.
    Received receive(const std::string& data);
    // The client has gone (`dropWaiting` false: what it sent is still handed over) or the link
    // was closed on this side (true). Returns the bytes of whole requests dropped.
    std::size_t end(const std::string& reason, bool dropWaiting);
    // Any thread: a held connection may go on.
    void wake();

    // Worker entries.
    void runRead();
    void runTurn();
    void runEnd();

    // Whether the connection is held (read by tests and the link's census).
    bool held();

private:
    // Lock held: queue the next turn unless one is queued.
    void queueTurnLocked();
    // Lock held: the first request, or all the requests, of the oldest read.
    std::string cutRequestLocked();
    std::string takeReadLocked();
    // Lock held: from now on one request per turn.
    void holdLocked();
    // Lock held: the disconnect is due, once.
    bool disconnectDueLocked();

    Link& link;
    std::mutex lock;
    NulFramer framer;
    std::deque<std::string> reads;  // the whole requests of one read each, oldest first
    std::size_t waitingBytes = 0;   // in `reads`
    std::chrono::steady_clock::duration owed{};  // worker time taken beyond the turns' allowance
    bool holding = false;
    bool turnQueued = false;
    bool inputEnded = false;
    bool disconnectRun = false;
    std::string endReason;
};
