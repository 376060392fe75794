#pragma once

#include "core/CommandSingleton.h"

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

// Runs `work` on the command worker thread, after everything queued before it, and returns
// its result. Throws when the worker does not get to it within the limit.
template <class Work>
auto onWorker(Work work, std::chrono::milliseconds limit = std::chrono::seconds(5)) -> decltype(work())
{
    using Result = decltype(work());
    struct WorkCommand : Command {
        explicit WorkCommand(Work work) : task(std::move(work)) {}
        void execute(const std::string&) override { task(); }
        std::packaged_task<Result()> task;
    };
    auto command = std::make_shared<WorkCommand>(std::move(work));
    auto result = command->task.get_future();
    CommandSingleton::instance().enqueue(command, std::string());
    if (result.wait_for(limit) != std::future_status::ready)
        throw std::runtime_error("the command worker did not answer in time");
    return result.get();
}

// Returns once every command queued before the call has run.
inline void drainQueue(std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    onWorker([] { return true; }, limit);
}
