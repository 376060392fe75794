#pragma once

#include "host/HostProtocol.h"
#include "transport/Interface.h"

#include <mutex>
#include <string>
#include <vector>

// A protocol that records what its link delivers, in order, with the thread-safe view a
// test needs. Events are "data:<bytes>" and "closed:<reason>".
class RecordingProtocol : public HostProtocol {
public:
    ~RecordingProtocol() override
    {
        if (link)
            link->setProtocol(nullptr);
    }
    void handleData(const std::string& data, Interface*) override { add("data:" + data); }
    void attachInterface(std::shared_ptr<Interface> newLink) override
    {
        link = std::move(newLink);
        link->setProtocol(this);
    }
    void handleClosed(const std::string& reason) override { add("closed:" + reason); }

    std::vector<std::string> events()
    {
        std::lock_guard<std::mutex> guard(lock);
        return recorded;
    }
    // All data events joined, to compare streams regardless of how reads split them.
    std::string receivedBytes()
    {
        std::string bytes;
        for (const std::string& event : events())
            if (event.compare(0, 5, "data:") == 0)
                bytes += event.substr(5);
        return bytes;
    }

private:
    void add(const std::string& event)
    {
        std::lock_guard<std::mutex> guard(lock);
        recorded.push_back(event);
    }
    std::mutex lock;
    std::vector<std::string> recorded;
};
