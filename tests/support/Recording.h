#pragma once

#include "core/Command.h"
#include "host/HostProtocol.h"
#include "support/Wait.h"
#include "transport/Interface.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
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
class RecordingCommand : public Command, TextLog {
public:
    void execute(const std::string& text) override { add(text); }
    std::vector<std::string> received() { return all(); }
};

// A command that runs `function` with the text it is executed with.
inline std::shared_ptr<Command> commandOf(std::function<void(const std::string&)> function)
{
    struct FunctionCommand : Command {
        std::function<void(const std::string&)> function;
        void execute(const std::string& text) override { function(text); }
    };
    auto command = std::make_shared<FunctionCommand>();
    command->function = std::move(function);
    return command;
}

// A protocol that records what its link delivers, in order: "data:<bytes>" and "closed:<reason>".
class RecordingProtocol : public HostProtocol, TextLog {
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
    std::vector<std::string> events() { return all(); }
    // All data events joined, to compare streams regardless of how reads split them.
    std::string receivedBytes()
    {
        std::string bytes;
        for (const std::string& event : events())
            if (event.compare(0, 5, "data:") == 0)
                bytes += event.substr(5);
        return bytes;
    }
};

// A link that keeps every text its protocol sends; one send fails when `failNextSend` is set.
class RecordingLink : public Interface, TextLog {
public:
    void close() override { closed = true; }
    void open() override {}
    void send(const std::string& data) override
    {
        if (failNextSend.exchange(false))
            throw std::runtime_error("link broke");
        add(data);
    }
    std::vector<std::string> sentTexts() { return all(); }
    std::atomic<bool> closed{false};
    std::atomic<bool> failNextSend{false};
};
