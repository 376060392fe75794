#pragma once

#include <cstddef>
#include <deque>
#include <string>

// Messages waiting for one writer, counted in the bytes of memory they take, each message's own
// overhead included. Once the queue passes the high mark it holds back the side that fills it,
// until the writer has drained it down to the low mark.
class OutboundQueue {
public:
    OutboundQueue(std::size_t highMark, std::size_t lowMark) : highMark(highMark), lowMark(lowMark) {}

    // Adds a message; true when the writer was idle and must be started.
    bool push(std::string message);
    const std::string& front() const { return messages.front(); }
    // Drops the message just written; true when another one waits.
    bool pop();

    bool holdsBack() const { return holding; }
    std::size_t bytes() const { return queued; }

private:
    std::deque<std::string> messages;
    std::size_t queued = 0;
    std::size_t highMark;
    std::size_t lowMark;
    bool holding = false;
};
