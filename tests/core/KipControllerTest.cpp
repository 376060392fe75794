#include "core/KipController.h"

#include "support/LoopbackPeer.h"
#include "support/Wait.h"
#include "support/WorkerControl.h"

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <thread>

namespace {

int unusedPort()
{
    return LoopbackPeer::listening().localPort();
}

// The controller's connections are the worker's to read.
std::size_t connectionsSeenByWorker(KipController& controller)
{
    std::size_t count = 0;
    CommandSingleton::instance().enqueue(
        std::make_shared<FunctionCommand>([&](const std::string&) { count = controller.connectionCount(); }), "");
    drainWorker();
    return count;
}

}  // namespace

TEST(KipController, EventLoopSurvivesEscapedErrorsAndKeepsPendingWork)
{
    KipController controller("127.0.0.1", 0, unusedPort(), unusedPort());
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
    EXPECT_TRUE(drainWorker());
}

TEST(KipController, ForgetsEveryClientThatLeaves)
{
    KipController controller("127.0.0.1", 0, unusedPort(), unusedPort());
    std::thread loop([&] { controller.runOnce(); });
    {
        std::vector<LoopbackPeer> clients;
        for (int i = 0; i < 20; ++i)
            clients.push_back(LoopbackPeer::connectedTo(controller.listeningPort()));
        LoopbackPeer::connectedTo(controller.listeningPort());  // leaves at once
        EXPECT_TRUE(waitUntil([&] { return connectionsSeenByWorker(controller) == 20; }));
    }
    EXPECT_TRUE(waitUntil([&] { return connectionsSeenByWorker(controller) == 0; }));
    controller.eventLoop().stop();
    loop.join();
    EXPECT_TRUE(drainWorker());
}
