#include "core/KipController.h"

#include "support/LoopbackPeer.h"
#include "support/Wait.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <thread>

TEST(KipController, EventLoopSurvivesEscapedErrorsAndKeepsPendingWork)
{
    KipController controller("127.0.0.1", 0, LoopbackPeer::unusedPort(), LoopbackPeer::unusedPort());
    boost::asio::io_context& loop = controller.eventLoop();
    std::vector<std::string> ran;
    boost::asio::post(loop, [] { throw boost::system::system_error(boost::asio::error::broken_pipe, "write"); });
    boost::asio::post(loop, [&] { ran.push_back("after system error"); });
    boost::asio::post(loop, [] { throw std::runtime_error("other"); });
    boost::asio::post(loop, [&] { ran.push_back("after other error"); });
    boost::asio::post(loop, [&] { loop.stop(); });

    controller.runOnce();
    EXPECT_TRUE(ran.empty());
    controller.runOnce();
    EXPECT_EQ(ran, std::vector<std::string>{"after system error"});
    controller.runOnce();
    EXPECT_EQ(ran, (std::vector<std::string>{"after system error", "after other error"}));
    drainQueue();
}

TEST(KipController, ReleasesTheConnectionOfAClientThatLeft)
{
    KipController controller("127.0.0.1", 0, LoopbackPeer::unusedPort(), LoopbackPeer::unusedPort());
    std::atomic<bool> stopping{false};
    std::thread loop([&] {
        while (!stopping)
            controller.runOnce();
    });
    // The controller keeps its connections on the worker thread.
    auto connections = [&] { return onWorker([&] { return controller.connectionCount(); }); };
    {
        LoopbackPeer client = LoopbackPeer::connectedTo(controller.listeningPort());
        EXPECT_TRUE(waitUntil([&] { return connections() == 1; }));
    }
    EXPECT_TRUE(waitUntil([&] { return connections() == 0; }));
    stopping = true;
    controller.eventLoop().stop();
    loop.join();
    drainQueue();
}
