#pragma once

#include "core/Command.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

// Thrown by a command to report a failed login; the worker logs it apart from other errors.
// No command of the daemon logs in: it is there for one that would.
class LoginException {};

// The process-wide FIFO of commands, executed one at a time by a single worker thread.
class CommandSingleton {
public:
    // The process's queue, created (and its worker started) on first use.
    static CommandSingleton& instance();

    // A queue of its own with its own worker; the process uses only instance().
    CommandSingleton();
    virtual ~CommandSingleton();
    CommandSingleton(const CommandSingleton&) = delete;
    CommandSingleton& operator=(const CommandSingleton&) = delete;

    // Appends an entry; callable from any thread, including the worker itself.
    void enqueue(std::shared_ptr<Command> command, const std::string& argument);

private:
    using Entry = std::pair<std::shared_ptr<Command>, std::string>;
    friend class CommandThread;

    Entry takeNext();

    std::thread worker;
    std::deque<Entry> queue;
    std::mutex queueLock;
    std::condition_variable wakeup;
};
