#pragma once

#include "core/Command.h"
#include "core/LongestWait.h"

#include <atomic>
#include <chrono>
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

    // What the queue and its worker are doing, for the status report; any thread, no lock.
    struct Figures {
        std::size_t waiting = 0;
        bool workerBusy = false;
        std::chrono::microseconds busyFor{0};
        std::chrono::microseconds longestWaitLastMinute{0};
        std::uint64_t executed = 0;
    };
    Figures figures() const;
    // Entries waiting for the worker now; any thread, no lock.
    std::size_t waitingEntries() const { return waiting.load(std::memory_order_relaxed); }

private:
    using Clock = LongestWait::Clock;
    struct Entry {
        std::shared_ptr<Command> command;
        std::string argument;
        Clock::time_point queuedAt;
    };
    friend class CommandThread;

    Entry takeNext();
    void execute(const Entry& entry);

    std::thread worker;
    std::deque<Entry> queue;
    std::mutex queueLock;
    std::condition_variable wakeup;
    // Written by the worker (and `waiting` under the lock by every producer), read by anyone.
    std::atomic<std::size_t> waiting{0};
    // The clock's count when the running command started; 0 while the worker waits.
    std::atomic<Clock::rep> busySince{0};
    std::atomic<std::uint64_t> executed{0};
    LongestWait longestWait;
};
