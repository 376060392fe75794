#include "core/CommandSingleton.h"

#include "support/LogCapture.h"
#include "support/Recording.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <stdexcept>

using Texts = std::vector<std::string>;

// Each test's queue is destroyed before its checks: the destructor's stop marker comes
// after every entry queued so far, so all of them have run by then.

TEST(CommandSingleton, RunsEntriesInQueueOrderAndFollowUpsAfterThem)
{
    RecordingCommand recorder;
    std::promise<void> release;
    {
        CommandSingleton queue;
        // Hold the worker so every entry below is queued while it is busy.
        std::shared_future<void> released = release.get_future().share();
        queue.enqueue(commandOf([released](const std::string&) { released.wait(); }), "");
        queue.enqueue(commandOf([&](const std::string& text) {
                          recorder.execute(text);
                          queue.enqueue(makeCommand(&recorder, &RecordingCommand::execute), text + "-again");
                      }),
                      "a");
        for (const char* text : {"b", "c", "d"})
            queue.enqueue(makeCommand(&recorder, &RecordingCommand::execute), text);
        release.set_value();
        ASSERT_TRUE(waitUntil([&] { return recorder.received().size() == 5; }));
    }
    EXPECT_EQ(recorder.received(), (Texts{"a", "b", "c", "d", "a-again"}));
}

TEST(CommandSingleton, LogsEachKindOfExceptionAndRunsTheNextEntry)
{
    LogCapture capture;
    RecordingCommand recorder;
    {
        CommandSingleton queue;
        queue.enqueue(commandOf([](const std::string& text) { throw std::runtime_error(text); }), "broken pipe");
        queue.enqueue(commandOf([](const std::string&) { throw "c string"; }), "");
        queue.enqueue(commandOf([](const std::string&) { throw LoginException(); }), "");
        queue.enqueue(commandOf([](const std::string&) { throw 42; }), "");
        queue.enqueue(makeCommand(&recorder, &RecordingCommand::execute), "after");
    }
    EXPECT_EQ(capture.all(), (Texts{LogCapture::record(2, "Command execution exception: broken pipe"),
                                    LogCapture::record(2, "Command execution exception: c string"),
                                    LogCapture::record(2, "Command execution login exception."),
                                    LogCapture::record(2, "Command execution unknown exception")}));
    EXPECT_EQ(capture.allGroups(), Texts(4, "sys"));
    EXPECT_EQ(recorder.received(), Texts{"after"});
}

TEST(CommandSingleton, FiguresShowTheBusyWorkerWhatWaitsAndTheLongestWait)
{
    std::promise<void> release;
    std::promise<void> started;
    CommandSingleton queue;
    EXPECT_FALSE(queue.figures().workerBusy);
    std::shared_future<void> released = release.get_future().share();
    queue.enqueue(commandOf([&, released](const std::string&) {
                      started.set_value();
                      released.wait();
                  }),
                  "");
    ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    queue.enqueue(commandOf([](const std::string&) {}), "");
    queue.enqueue(commandOf([](const std::string&) {}), "");
    const auto held = std::chrono::milliseconds(50);
    std::this_thread::sleep_for(held);
    CommandSingleton::Figures busy = queue.figures();
    EXPECT_EQ(std::make_pair(busy.workerBusy, busy.waiting), std::make_pair(true, std::size_t(2)));
    EXPECT_GE(busy.busyFor, held);
    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return queue.figures().executed == 3; }));
    CommandSingleton::Figures idle = queue.figures();
    EXPECT_EQ(std::make_pair(idle.workerBusy, idle.waiting), std::make_pair(false, std::size_t(0)));
    EXPECT_GE(idle.longestWaitLastMinute, held);  // the two entries waited behind the first
}
