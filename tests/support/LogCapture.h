#pragma once

#include "log/LogChannel.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

// Collects the log records of the process while it exists.
class LogCapture {
public:
    LogCapture()
    {
        LogChannel::instance().setSink([this](const std::string& record, const std::string& group) {
            std::lock_guard<std::mutex> guard(lock);
            records.push_back(record);
            groups.push_back(group);
            changed.notify_all();
        });
    }
    ~LogCapture() { LogChannel::instance().setSink(nullptr); }

    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> guard(lock);
        return records;
    }
    std::vector<std::string> allGroups()
    {
        std::lock_guard<std::mutex> guard(lock);
        return groups;
    }
    // Waits (bounded) until at least `count` records have arrived.
    bool waitForCount(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, limit, [&] { return records.size() >= count; });
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> records;
    std::vector<std::string> groups;
};
