#include "core/CommandSingleton.h"

#include "support/LogCapture.h"
#include "support/Recording.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <future>
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
