#include "transport/SendQueue.h"

void SendQueue::push(std::string text)
{
    queuedBytes += text.size();
    texts.push_back(std::move(text));
}

std::vector<boost::asio::const_buffer> SendQueue::startWrite()
{
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(texts.size());
    for (const std::string& text : texts)
        buffers.push_back(boost::asio::buffer(text));
    inFlight = texts.size();
    return buffers;
}

std::size_t SendQueue::completeWrite()
{
    std::size_t written = 0;
    for (std::size_t i = 0; i < inFlight; ++i)
        written += texts[i].size();
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(inFlight));
    inFlight = 0;
    queuedBytes -= written;
    return written;
}

std::size_t SendQueue::clear()
{
    const std::size_t dropped = queuedBytes;
    texts.clear();
    inFlight = 0;
    queuedBytes = 0;
    return dropped;
}
