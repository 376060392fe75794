#pragma once

#include "transport/FlowLimits.h"

#include <boost/optional.hpp>

#include <chrono>
#include <cstddef>
#include <string>

// How long a client may leave its answers unread (see FlowLimits.h).
struct UnreadLimits {
    std::size_t hard = flowlimits::unreadHardLimit;
    std::size_t soft = flowlimits::unreadSoftLimit;
    std::chrono::milliseconds softTime = flowlimits::unreadSoftTime;
    std::chrono::milliseconds hardTime = flowlimits::unreadHardTime;
};

// Whether a client drains the answers written to it. A client that reads may fall behind by any
// amount, since one request may be answered with a burst of reports; one is past a limit only
// when none of its answers has been read for a while: above the soft limit for the soft time,
// or past the hard limit for the hard time. Event loop only.
class UnreadWatch {
public:
    using Clock = std::chrono::steady_clock;

    explicit UnreadWatch(UnreadLimits limits) : limits(limits) {}

    // The answers waiting to be written now; a queue that was empty starts the clock.
    void waiting(std::size_t bytes, Clock::time_point now);
    // The client read some of them: the clock starts again.
    void drained(Clock::time_point now) { lastDrained = now; }

    // When the client would be past a limit if it reads nothing meanwhile; none within both.
    boost::optional<Clock::time_point> deadline() const;
    // The limit the client is past at `now`, in the words of its log record; none while it drains.
    boost::optional<std::string> breach(Clock::time_point now) const;

private:
    const UnreadLimits limits;
    std::size_t unread = 0;
    Clock::time_point lastDrained;
};
