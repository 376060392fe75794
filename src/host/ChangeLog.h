#pragma once

#include "core/Published.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

// The last changes clients asked for, for the status report: when, from which client, the
// request type, the target MAC and how it ended ("pending" until its answer runs, then "ok" or
// the error text). Recorded on the worker thread; each change publishes a copy for readers.
// A client chooses the MAC and may make it a mebibyte long: each text is cut to `textLength`.
class ChangeLog {
public:
    static constexpr std::size_t kept = 20;
    static constexpr std::size_t textLength = 100;
    static constexpr const char* pendingText = "pending";
    static constexpr const char* okText = "ok";

    struct Change {
        std::chrono::system_clock::time_point at;
        std::string client;
        std::string type;
        std::string mac;
        std::string result;
    };
    using Changes = std::deque<Change>;

    // Worker thread. `record` returns the change's number, for `settle`, which takes the answer's
    // error text (empty for success); a change settles once, and only while it is kept.
    std::uint64_t record(const std::string& client, const std::string& type, const std::string& mac);
    void settle(std::uint64_t number, const std::string& error);

    // Any thread: the kept changes, oldest first.
    Changes recent() const;

private:
    void publish();

    Changes changes;
    std::uint64_t firstNumber = 1;  // the number of the oldest kept change
    Published<Changes> published;
};
