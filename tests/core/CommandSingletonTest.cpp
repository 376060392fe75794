#include "core/CommandSingleton.h"

#include "support/LogCapture.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <unistd.h>

namespace {

// Records each execution; optionally throws or queues a follow-up.
class Recorder {
public:

    void record(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(text);
    }
    void recordAndRequeue(const std::string& text)
    {
        record(text);
        queue->enqueue(makeCommand(this, &Recorder::record), text + "-again");
    }
    void throwStandard(const std::string& text) { throw std::runtime_error(text); }
    void throwCString(const std::string&) { throw "c string"; }
    void throwLogin(const std::string&) { throw LoginException(); }
    void throwInteger(const std::string&) { throw 42; }
    void block(const std::string&) { release.get_future().wait(); }

    std::vector<std::string> snapshot()
    {
        std::lock_guard<std::mutex> guard(lock);
        return seen;
    }

    CommandSingleton* queue = nullptr;
    std::promise<void> release;

private:
    std::mutex lock;
    std::vector<std::string> seen;
};

}  // namespace

// Each test's queue is destroyed before its checks: the destructor's stop marker comes
// after every entry queued so far, so all of them have run by then.

TEST(CommandSingleton, RunsEntriesInQueueOrderAndFollowUpsAfterThem)
{
    Recorder recorder;
    {
        CommandSingleton queue;
        recorder.queue = &queue;
        // Hold the worker so every entry below is queued while it is busy.
        queue.enqueue(makeCommand(&recorder, &Recorder::block), "");
        queue.enqueue(makeCommand(&recorder, &Recorder::recordAndRequeue), "a");
        for (int i = 0; i < 100; ++i)
            queue.enqueue(makeCommand(&recorder, &Recorder::record), std::to_string(i));
        recorder.release.set_value();
        ASSERT_TRUE(waitUntil([&] { return recorder.snapshot().size() == 102; }));
    }

    std::vector<std::string> seen = recorder.snapshot();
    ASSERT_EQ(seen.size(), 102u);
    EXPECT_EQ(seen.front(), "a");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[i + 1], std::to_string(i));
    EXPECT_EQ(seen.back(), "a-again");
}

TEST(CommandSingleton, LogsEachKindOfExceptionAndRunsTheNextEntry)
{
    LogCapture capture;
    Recorder recorder;
    {
        CommandSingleton queue;
        queue.enqueue(makeCommand(&recorder, &Recorder::throwStandard), "broken pipe");
        queue.enqueue(makeCommand(&recorder, &Recorder::throwCString), "");
        queue.enqueue(makeCommand(&recorder, &Recorder::throwLogin), "");
        queue.enqueue(makeCommand(&recorder, &Recorder::throwInteger), "");
        queue.enqueue(makeCommand(&recorder, &Recorder::record), "after");
    }

    std::vector<std::string> records = capture.all();
    ASSERT_EQ(records.size(), 4u);
    char host[50] = {};
    gethostname(host, sizeof host - 1);
    std::string prefix = std::string("LOG 2 ") + host + " \"";
    EXPECT_EQ(records[0], prefix + "Command execution exception: broken pipe\"\n");
    EXPECT_EQ(records[1], prefix + "Command execution exception: c string\"\n");
    EXPECT_EQ(records[2], prefix + "Command execution login exception.\"\n");
    EXPECT_EQ(records[3], prefix + "Command execution unknown exception\"\n");
    EXPECT_EQ(capture.allGroups(), std::vector<std::string>(4, "sys"));
    EXPECT_EQ(recorder.snapshot(), std::vector<std::string>{"after"});
}

TEST(CommandSingleton, EntriesAfterTheStopMarkerNeverRun)
{
    Recorder recorder;
    auto queue = std::make_unique<CommandSingleton>();
    queue->enqueue(makeCommand(&recorder, &Recorder::block), "");
    queue->enqueue(makeCommand(&recorder, &Recorder::record), "before");
    queue->enqueue(nullptr, "");
    queue->enqueue(makeCommand(&recorder, &Recorder::record), "after");
    recorder.release.set_value();
    queue.reset();  // joins the worker, which ended at the first stop marker
    EXPECT_EQ(recorder.snapshot(), std::vector<std::string>{"before"});
}

TEST(CommandSingleton, InstanceIsOneQueueForTheProcess)
{
    EXPECT_EQ(&CommandSingleton::instance(), &CommandSingleton::instance());
}

TEST(Command, WeakCommandRunsOnlyWhileItsTargetLives)
{
    auto recorder = std::make_shared<Recorder>();
    WeakCommand<Recorder> command(recorder, &Recorder::record);
    command.execute("alive");
    EXPECT_EQ(recorder->snapshot(), std::vector<std::string>{"alive"});
    std::weak_ptr<Recorder> watcher = recorder;
    recorder.reset();
    EXPECT_TRUE(watcher.expired());
    command.execute("gone");  // must not touch the released target (caught by the sanitizers)
}
