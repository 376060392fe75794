#include "transport/RequestInbox.h"

#include "transport/FlowLimits.h"

#include <algorithm>

RequestInbox::Received RequestInbox::receive(const std::string& data)
{
    std::lock_guard<std::mutex> guard(lock);
    Received received;
    if (inputEnded)
        return received;
    framer.append(data);
    std::string requests;
    if (framer.takeComplete(requests)) {
        received.whole = requests.size();
        if (!holding && !link.mayQueue(waitingBytes, requests.size()))
            holdLocked();
        waitingBytes += requests.size();
        reads.push_back(std::move(requests));
        if (holding)
            queueTurnLocked();
        else
            link.queueRead();
    }
    received.unfinished = framer.pendingSize();
    received.overflowed = framer.overflowed();
    return received;
}

std::size_t RequestInbox::end(const std::string& reason, bool dropWaiting)
{
    std::lock_guard<std::mutex> guard(lock);
    std::size_t dropped = 0;
    if (dropWaiting) {
        dropped = waitingBytes;
        waitingBytes = 0;
        reads.clear();
        framer.clear();
    }
    if (inputEnded)
        return dropped;
    inputEnded = true;
    endReason = reason;
    // Held, the turns hand over what is left and then run the end; otherwise every read's entry
    // is queued already, and the end goes behind them.
    if (holding)
        queueTurnLocked();
    else
        link.queueEnd();
    return dropped;
}

void RequestInbox::wake()
{
    std::lock_guard<std::mutex> guard(lock);
    if (holding && !disconnectRun)
        queueTurnLocked();
}

bool RequestInbox::held()
{
    std::lock_guard<std::mutex> guard(lock);
    return holding;
}

void RequestInbox::queueTurnLocked()
{
    if (turnQueued)
        return;
    turnQueued = true;
    link.queueTurn();
}

// An entry queued before the connection was held finds its read taken over by the turns.
void RequestInbox::runRead()
{
    std::string requests;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (holding || reads.empty())
            return;
        if (!inputEnded && link.mustWait()) {
            holdLocked();
            return;
        }
        requests = takeReadLocked();
    }
    link.handOver(requests);
}

// One request per turn; a connection that has gone no longer waits. Once nothing is left the
// connection is handled read by read again, or its end runs.
void RequestInbox::runTurn()
{
    std::string request;
    bool disconnect = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        turnQueued = false;
        if (!holding)
            return;
        if (!reads.empty()) {
            if (!inputEnded && link.mustWait())
                return;  // `wake` queues the next turn
            if (owed > owed.zero() && !link.othersWaiting())
                owed = owed.zero();
            if (owed > owed.zero()) {
                owed -= std::min<std::chrono::steady_clock::duration>(owed, flowlimits::turnAllowance);
                queueTurnLocked();
                return;
            }
            request = cutRequestLocked();
        } else if (inputEnded) {
            if (!disconnectDueLocked())
                return;
            disconnect = true;
        } else {
            holding = false;
            link.holdChanged(false);
            return;
        }
    }
    if (disconnect) {
        link.runDisconnect(endReason);
        return;
    }
    // The next turn is queued even when the protocol throws, so the connection is not stranded.
    struct NextTurn {
        RequestInbox* inbox;
        std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
        ~NextTurn()
        {
            const auto spent = std::chrono::steady_clock::now() - started;
            std::lock_guard<std::mutex> guard(inbox->lock);
            if (spent > flowlimits::turnAllowance)
                inbox->owed += spent - flowlimits::turnAllowance;
            inbox->queueTurnLocked();
        }
    } next{this};
    link.handOver(request);
}

// Queued after every read's entry; an entry that found the connection held left its read to the
// turns, which then run the end instead.
void RequestInbox::runEnd()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (holding || !disconnectDueLocked())
            return;
    }
    link.runDisconnect(endReason);
}

void RequestInbox::holdLocked()
{
    holding = true;
    if (owed == owed.zero())
        owed = flowlimits::turnAllowance * link.turnsBehind();
    link.holdChanged(true);
}

std::string RequestInbox::takeReadLocked()
{
    std::string requests = std::move(reads.front());
    reads.pop_front();
    waitingBytes -= requests.size();
    return requests;
}

std::string RequestInbox::cutRequestLocked()
{
    std::string& oldest = reads.front();
    const std::size_t end = oldest.find('\0') + 1;
    if (end == oldest.size())
        return takeReadLocked();
    std::string request = oldest.substr(0, end);
    oldest.erase(0, end);
    waitingBytes -= end;
    return request;
}

bool RequestInbox::disconnectDueLocked()
{
    if (disconnectRun)
        return false;
    disconnectRun = true;
    return true;
}
