#pragma once

#include "log/LogChannel.h"
#include "support/Recording.h"
#include "support/Wait.h"

#include <unistd.h>
#include <string>
#include <vector>

// Collects the log records of the process, and their groups, while it exists.
class LogCapture {
public:
    LogCapture()
    {
        LogChannel::instance().setSink([this](int, const std::string& record, const std::string& group) {
            groups.add(group);
            records.add(record);
        });
    }
    ~LogCapture() { LogChannel::instance().setSink(nullptr); }

    std::vector<std::string> all() { return records.all(); }
    std::vector<std::string> allGroups() { return groups.all(); }
    bool waitForCount(std::size_t count) { return waitUntil([&] { return all().size() >= count; }); }

    // A record as the log writes it on this machine.
    static std::string record(int level, const std::string& message)
    {
        char host[50] = {};
        gethostname(host, sizeof host - 1);
        return "LOG " + std::to_string(level) + " " + host + " \"" + message + "\"\n";
    }

private:
    TextLog records;
    TextLog groups;
};
