#pragma once

#include <boost/optional.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

// What one configuration-daemon link has been through, for the status report: whether it is up
// and since when, its reconnections, its traffic and its last failure. The traffic counters are
// atomic (a message is counted when it is sent, on any thread); the rest is written and read on
// the event loop only, like the link's socket.
class LinkHealth {
public:
    using Time = std::chrono::system_clock::time_point;

    struct Figures {
        bool connected = false;
        boost::optional<Time> since;  // last connected or lost; none before the first connection
        std::uint64_t reconnects = 0;  // connections after the first
        std::uint64_t messagesSent = 0;
        std::uint64_t bytesSent = 0;
        std::uint64_t messagesReceived = 0;
        std::uint64_t bytesReceived = 0;
        std::string lastError;  // empty while there was none
        boost::optional<Time> lastErrorAt;
    };

    // Event loop.
    void connected();
    // The connection is gone (dropped, or closed on this side); nothing when it was not up.
    void lost();
    void failed(const std::string& error);
    // Bytes read; each NUL in them ends one message (both protocols end every message with one).
    void received(const std::string& chunk);
    // Any thread.
    void messageSent() { ++messagesSent; }
    void bytesWritten(std::size_t bytes) { bytesSent += bytes; }

    // Event loop.
    Figures figures() const;

private:
    std::atomic<std::uint64_t> messagesSent{0};
    std::atomic<std::uint64_t> bytesSent{0};
    std::atomic<std::uint64_t> messagesReceived{0};
    std::atomic<std::uint64_t> bytesReceived{0};
    bool up = false;
    bool everConnected = false;
    std::uint64_t reconnects = 0;
    boost::optional<Time> since;
    std::string lastError;
    boost::optional<Time> lastErrorAt;
};
