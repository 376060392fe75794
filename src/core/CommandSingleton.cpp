#include "core/CommandSingleton.h"

#include "log/Log.h"

#include <algorithm>
#include <exception>

namespace {
std::mutex instanceLock;
CommandSingleton* theInstance = nullptr;

void executeReporting(Command& command, const std::string& argument)
{
    try {
        command.execute(argument);
    } catch (const std::exception& e) {
        log(2, "Command execution exception: %s", e.what());
    } catch (const char* text) {
        log(2, "Command execution exception: %s", text);
    } catch (const LoginException&) {
        log(2, "Command execution login exception.");
    } catch (...) {
        log(2, "Command execution unknown exception");
    }
}
}  // namespace

// The worker loop: runs entries in queue order until the stop marker.
class CommandThread {
public:
    explicit CommandThread(CommandSingleton* queue) : queue(queue) {}

    void operator()() const
    {
        for (;;) {
            CommandSingleton::Entry entry = queue->takeNext();
            if (!entry.command)
                return;
            queue->execute(entry);
        }
    }

private:
    CommandSingleton* queue;
};

CommandSingleton& CommandSingleton::instance()
{
    std::lock_guard<std::mutex> guard(instanceLock);
    if (!theInstance)
        theInstance = new CommandSingleton();  // never destroyed: the worker runs for the process's life
    return *theInstance;
}

CommandSingleton::CommandSingleton() { worker = std::thread(CommandThread(this)); }

CommandSingleton::~CommandSingleton()
{
    enqueue(nullptr, std::string());
    if (worker.joinable())
        worker.join();
}

void CommandSingleton::enqueue(std::shared_ptr<Command> command, const std::string& argument)
{
    Entry entry{std::move(command), argument, Clock::now()};
    {
        std::lock_guard<std::mutex> guard(queueLock);
        queue.push_back(std::move(entry));
        waiting.store(queue.size(), std::memory_order_relaxed);
    }
    wakeup.notify_one();
}

CommandSingleton::Entry CommandSingleton::takeNext()
{
    std::unique_lock<std::mutex> lock(queueLock);
    wakeup.wait(lock, [this] { return !queue.empty(); });
    Entry entry = std::move(queue.front());
    queue.pop_front();
    waiting.store(queue.size(), std::memory_order_relaxed);
    return entry;
}

// Worker thread: the entry's wait is noted and the worker counts as busy while it runs.
void CommandSingleton::execute(const Entry& entry)
{
    const Clock::time_point start = Clock::now();
    longestWait.note(start, std::chrono::duration_cast<std::chrono::microseconds>(start - entry.queuedAt));
    busySince.store(start.time_since_epoch().count());
    executeReporting(*entry.command, entry.argument);
    busySince.store(0);
    executed.fetch_add(1);
}

CommandSingleton::Figures CommandSingleton::figures() const
{
    Figures figures;
    const Clock::time_point now = Clock::now();
    figures.waiting = waiting.load(std::memory_order_relaxed);
    const Clock::rep since = busySince.load();
    figures.workerBusy = since != 0;
    if (figures.workerBusy)
        figures.busyFor = std::max(std::chrono::microseconds(0),
            std::chrono::duration_cast<std::chrono::microseconds>(now - Clock::time_point(Clock::duration(since))));
    figures.longestWaitLastMinute = longestWait.longest(now);
    figures.executed = executed.load();
    return figures;
}
