#pragma once

#include "Bounds.h"

#include <chrono>
#include <map>
#include <string>

// Slows down guessing the token: after a few wrong tokens from one client, its next wrong tries
// are refused for a wait that doubles with each further wrong one heard. A right token is never
// refused, and forgives nothing: behind a proxy one key may hold the operator and a guesser.
class FailureThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // How long the client must still wait before a wrong token of it is heard; zero when it may try.
    Clock::duration waitFor(const std::string& client, Clock::time_point now) const
    {
        auto record = records.find(client);
        return record == records.end() ? Clock::duration::zero() : std::max(record->second.until - now, Clock::duration::zero());
    }

    void failed(const std::string& client, Clock::time_point now)
    {
        if (records.size() >= bounds::maxThrottledClients && !records.count(client))
            forgetSome(now);
        Record& record = records[client];
        if (++record.failures >= bounds::freeTokenFailures)
            record.until = now + std::min(bounds::longestTokenWait,
                                          bounds::firstTokenWait * (1u << std::min(record.failures - bounds::freeTokenFailures, 16u)));
    }

private:
    struct Record {
        unsigned failures = 0;
        Clock::time_point until;
    };

    // Keeps the memory bounded: the clients whose wait is over go first, else any one.
    void forgetSome(Clock::time_point now)
    {
        for (auto record = records.begin(); record != records.end();)
            record = record->second.until <= now ? records.erase(record) : std::next(record);
        if (records.size() >= bounds::maxThrottledClients)
            records.erase(records.begin());
    }

    std::map<std::string, Record> records;
};
