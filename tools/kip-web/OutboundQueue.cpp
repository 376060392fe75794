#include "OutboundQueue.h"

bool OutboundQueue::push(std::string message)
{
    bool writerIdle = messages.empty();
    queued += message.size();
    messages.push_back(std::move(message));
    if (queued > highMark)
        holding = true;
    return writerIdle;
}

bool OutboundQueue::pop()
{
    queued -= messages.front().size();
    messages.pop_front();
    if (queued <= lowMark)
        holding = false;
    return !messages.empty();
}
