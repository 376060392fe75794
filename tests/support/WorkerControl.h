#pragma once

#include "core/CommandSingleton.h"
#include "support/WorkerQueue.h"

#include <chrono>
#include <functional>
#include <future>
#include <memory>

// A queued function, for tests that need to act on the worker thread.
class FunctionCommand : public Command {
public:
    explicit FunctionCommand(std::function<void(const std::string&)> function) : function(std::move(function)) {}
    void execute(const std::string& argument) override { function(argument); }

private:
    std::function<void(const std::string&)> function;
};

// Waits (bounded) until everything queued so far on the process's worker has run.
inline bool drainWorker(std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    try {
        drainQueue(limit);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// Holds the process's worker until released (or destroyed), so that events queue up behind it.
class WorkerGate {
public:
    WorkerGate()
    {
        std::shared_future<void> released = release.get_future().share();
        CommandSingleton::instance().enqueue(
            std::make_shared<FunctionCommand>([released](const std::string&) { released.wait(); }), "");
    }
    ~WorkerGate() { open(); }
    void open()
    {
        if (!opened) {
            opened = true;
            release.set_value();
        }
    }

private:
    std::promise<void> release;
    bool opened = false;
};
