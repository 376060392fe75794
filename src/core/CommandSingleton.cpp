#include "core/CommandSingleton.h"

#include "log/Log.h"

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
            if (!entry.first)
                return;
            executeReporting(*entry.first, entry.second);
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
    Entry entry(std::move(command), argument);
    {
        std::lock_guard<std::mutex> guard(queueLock);
        queue.push_back(std::move(entry));
    }
    wakeup.notify_one();
}

CommandSingleton::Entry CommandSingleton::takeNext()
{
    std::unique_lock<std::mutex> lock(queueLock);
    wakeup.wait(lock, [this] { return !queue.empty(); });
    Entry entry = std::move(queue.front());
    queue.pop_front();
    return entry;
}
