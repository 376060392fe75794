#include "transport/UnreadWatch.h"

void UnreadWatch::waiting(std::size_t bytes, Clock::time_point now)
{
    if (unread == 0 && bytes > 0)
        lastDrained = now;
    unread = bytes;
}

boost::optional<UnreadWatch::Clock::time_point> UnreadWatch::deadline() const
{
    if (unread > limits.hard)
        return lastDrained + std::min(limits.hardTime, limits.softTime);
    if (unread > limits.soft)
        return lastDrained + limits.softTime;
    return boost::none;
}

boost::optional<std::string> UnreadWatch::breach(Clock::time_point now) const
{
    auto past = [&](std::size_t limit, std::chrono::milliseconds time) -> boost::optional<std::string> {
        if (unread <= limit || now - lastDrained < time)
            return boost::none;
        return "more than " + std::to_string(limit) + " bytes of answers unread for " + std::to_string(time.count()) +
               " ms";
    };
    if (boost::optional<std::string> hard = past(limits.hard, limits.hardTime))
        return hard;
    return past(limits.soft, limits.softTime);
}
