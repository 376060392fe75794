#pragma once

#include "core/Command.h"
#include "host/HostProtocol.h"
#include "support/Wait.h"
#include "transport/Interface.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Texts added on any thread, for the test to read.
class TextLog {
public:
    void add(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(lock);
        texts.push_back(text);
    }
    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> guard(lock);
        return texts;
    }

private:
    std::mutex lock;
    std::vector<std::string> texts;
};

// Records the texts it is executed with.
class RecordingCommand : public Command {
public:
    void execute(const std::string& text) override { log.add(text); }
    std::vector<std::string> received() { return log.all(); }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        return waitUntil([&] { return received().size() >= count; }, limit);
    }

private:
    TextLog log;
};

// Runs a function with the text it is executed with.
class FunctionCommand : public Command {
public:
    explicit FunctionCommand(std::function<void(const std::string&)> function) : function(std::move(function)) {}
    void execute(const std::string& text) override { function(text); }

private:
    std::function<void(const std::string&)> function;
};
inline std::shared_ptr<Command> commandOf(std::function<void(const std::string&)> function)
{
    return std::make_shared<FunctionCommand>(std::move(function));
}

// A protocol that records what its link delivers, in order: "data:<bytes>" and "closed:<reason>".
class RecordingProtocol : public HostProtocol {
public:
    ~RecordingProtocol() override
    {
        if (link)
            link->setProtocol(nullptr);
    }
    void handleData(const std::string& data, Interface*) override { log.add("data:" + data); }
    void attachInterface(std::shared_ptr<Interface> newLink) override
    {
        link = std::move(newLink);
        link->setProtocol(this);
    }
    void handleClosed(const std::string& reason) override { log.add("closed:" + reason); }
    std::vector<std::string> events() { return log.all(); }
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
    TextLog log;
};

// A link that keeps every text its protocol sends.
class RecordingLink : public Interface {
public:
    void close() override {}
    void open() override {}
    void send(const std::string& data) override { log.add(data); }
    std::vector<std::string> sentTexts() { return log.all(); }

private:
    TextLog log;
};
