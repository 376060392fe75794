#include "OutboundQueue.h"

namespace {

// What a queued message takes from memory: its string in the deque, and beyond the string's
// own room (a short one lives inside it) the heap block with malloc's header. A one-byte
// message costs 32 bytes, not one.
std::size_t footprintOf(const std::string& message)
{
    static const std::size_t inPlace = std::string().capacity();
    constexpr std::size_t mallocHeader = 16;
    return sizeof(std::string) + (message.capacity() > inPlace ? message.capacity() + 1 + mallocHeader : 0);
}

}  // namespace

bool OutboundQueue::push(std::string message)
{
    bool writerIdle = messages.empty();
    queued += footprintOf(message);
    messages.push_back(std::move(message));
    if (queued > highMark)
        holding = true;
    return writerIdle;
}

bool OutboundQueue::pop()
{
    queued -= footprintOf(messages.front());
    messages.pop_front();
    if (queued <= lowMark)
        holding = false;
    return !messages.empty();
}
