#pragma once

#include <boost/asio/buffer.hpp>

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// The texts a link has still to write, oldest first. Every text queued when a write starts goes
// out in that one gathered write; the texts stay in place until it completes (a deque keeps
// them where they are while texts are appended behind them). Event-loop thread only.
class SendQueue {
public:
    void push(std::string text);
    // The queued texts as one buffer sequence; they count as in flight until `completeWrite`.
    std::vector<boost::asio::const_buffer> startWrite();
    // Removes the texts of the write that completed; returns their bytes.
    std::size_t completeWrite();
    // Drops every text; returns their bytes.
    std::size_t clear();

    bool empty() const { return texts.empty(); }
    std::size_t size() const { return texts.size(); }
    std::size_t bytes() const { return queuedBytes; }

private:
    std::deque<std::string> texts;
    std::size_t inFlight = 0;
    std::size_t queuedBytes = 0;
};
