#pragma once

#include <array>
#include <atomic>
#include <cstddef>

// What the client connections have done, for the status report: counted by the listener and
// the server links on any thread, read whole by whoever reports. Atomics only, no lock.
class ClientCensus {
public:
    // Why a connection ended: the client closed or reset it, or kipd closed it for a bound,
    // for an HTTP request, or for another error.
    enum class Cause { peerClosed, overLongRequest, unreadAnswers, requestBudget, httpRequest, error };
    static constexpr std::size_t causeCount = static_cast<std::size_t>(Cause::error) + 1;

    struct Figures {
        std::size_t connected = 0;  // accepted and not yet closed
        std::size_t accepted = 0;   // over the process's life
        std::size_t heldBack = 0;   // whose reading or requests wait for a bound now
        std::array<std::size_t, causeCount> disconnected{};
    };

    void accepted() { ++acceptedCount; }
    void closed(Cause cause) { ++disconnectedCount[static_cast<std::size_t>(cause)]; }
    // A connection started (true) or stopped (false) being held back.
    void heldBack(bool started) { started ? ++heldBackCount : --heldBackCount; }

    Figures figures() const;
    // The cause's name in the status report.
    static const char* causeName(Cause cause);

private:
    std::atomic<std::size_t> acceptedCount{0};
    std::atomic<std::size_t> heldBackCount{0};
    std::array<std::atomic<std::size_t>, causeCount> disconnectedCount{};
};
