#include "transport/TcpServerListener.h"

#include "core/CommandSingleton.h"
#include "support/EventLoopThread.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <future>
#include <optional>

using namespace std::chrono_literals;

namespace {

// Answers every delivery with a hundred times its bytes, as a device search answers at length.
struct AmplifyingProtocol : RecordingProtocol {
    void handleData(const std::string& data, Interface*) override { link->send(std::string(data.size() * 100, 'a')); }
};

// Stands where the controller stands: on the worker, takes each accepted link, attaches a
// recording protocol and opens it. The loop stops before the listener and links go.
struct Listener : testing::Test {
    using Taken = std::pair<std::shared_ptr<TcpServerInterface>, std::shared_ptr<RecordingProtocol>>;

    EventLoopThread loop;
    std::atomic<bool> openLinks{true};
    std::atomic<bool> amplify{false};
    std::mutex lock;
    std::vector<Taken> taken;
    std::shared_ptr<TcpServerListener> listener = std::make_shared<TcpServerListener>(
        loop.io(), 0, commandOf([this](const std::string&) {
            std::shared_ptr<TcpServerInterface> link = listener->takePendingConnection();
            if (!link)
                return;
            auto protocol = amplify ? std::make_shared<AmplifyingProtocol>() : std::make_shared<RecordingProtocol>();
            protocol->attachInterface(link);
            link->setDisconnectCommand(makeCommand<HostProtocol>(protocol.get(), &HostProtocol::handleClosed));
            if (openLinks)
                link->open();
            std::lock_guard<std::mutex> guard(lock);
            taken.emplace_back(link, protocol);
        }));

    // Once the loop stops nothing new is queued; the drain then runs what was.
    void TearDown() override
    {
        loop.stop();
        drainQueue();
    }
    int port() const { return listener->localPort(); }
    std::size_t takenCount()
    {
        std::lock_guard<std::mutex> guard(lock);
        return taken.size();
    }
    std::shared_ptr<TcpServerInterface> link(std::size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return taken.at(i).first;
    }
    std::shared_ptr<RecordingProtocol> protocol(std::size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return taken.at(i).second;
    }
};

// Holds the worker until it goes, so that accepted links queue up behind it.
struct HeldWorker {
    std::promise<void> release;
    HeldWorker()
    {
        std::shared_future<void> released = release.get_future().share();
        CommandSingleton::instance().enqueue(commandOf([released](const std::string&) { released.wait(); }), "");
    }
    ~HeldWorker() { release.set_value(); }
};

}  // namespace

// Links accepted while the worker is busy are taken in order once it is free; one whose client
// left meanwhile is closed once opened.
TEST_F(Listener, HandsOverClientsInAcceptanceOrder)
{
    std::vector<LoopbackPeer> clients;
    {
        HeldWorker held;
        clients.push_back(LoopbackPeer::connectedTo(port()));
        clients.push_back(LoopbackPeer::connectedTo(port()));
        clients[0].send("from first");
        clients[1].send("from second");
        LoopbackPeer::connectedTo(port());  // connects and leaves
    }
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 3 && !protocol(2)->events().empty(); }));
    EXPECT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == "from first"; }));
    EXPECT_TRUE(waitUntil([&] { return protocol(1)->receivedBytes() == "from second"; }));
    EXPECT_EQ(protocol(2)->events(), std::vector<std::string>{"closed:End of file"});
    EXPECT_FALSE(link(2)->isConnected());
    link(1)->send("reply");
    EXPECT_EQ(clients[1].receive(5), "reply");
}

TEST_F(Listener, DeliversAllDataBeforeTheDisconnect)
{
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    std::string sent;
    for (int i = 0; i < 200; ++i) {
        sent += "request " + std::to_string(i) + ";";
        client.send("request " + std::to_string(i) + ";");
    }
    client.closeConnection();
    ASSERT_TRUE(waitUntil([&] {
        const std::vector<std::string> events = protocol(0)->events();
        return !events.empty() && events.back().rfind("closed:", 0) == 0;
    }));
    EXPECT_EQ(protocol(0)->receivedBytes(), sent);
    EXPECT_EQ(protocol(0)->events().back(), "closed:End of file");
}

TEST_F(Listener, TextsSentBeforeOpenAreWrittenAfterIt)
{
    openLinks = false;
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    link(0)->send("early ");
    link(0)->send("bird");
    EXPECT_EQ(client.receive(1, 100ms), "");
    link(0)->open();
    EXPECT_EQ(client.receive(10), "early bird");
}

TEST(ListenerSetUp, PortInUseFailsAtBind)
{
    boost::asio::io_context io;
    TcpServerListener first(io, 0, nullptr);
    try {
        TcpServerListener second(io, first.localPort(), nullptr);
        FAIL() << "a second listener on the same port should not bind";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("bind", 0), 0u) << error.what();
    }
}

// At the ceiling nothing is accepted: a newcomer waits in the backlog and is served once an
// earlier client has left.
TEST_F(Listener, HoldsNewcomersAtTheCeilingUntilAConnectionCloses)
{
    listener->setConnectionCeiling(1);
    std::optional<LoopbackPeer> first = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    LoopbackPeer second = LoopbackPeer::connectedTo(port());
    second.send("waiting");
    EXPECT_FALSE(waitUntil([&] { return takenCount() == 2; }, 200ms));
    first.reset();
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 2; }));
    EXPECT_TRUE(waitUntil([&] { return protocol(1)->receivedBytes() == "waiting"; }));
}

// Requests already received wait while their connection's unwritten answers are above the
// mark, so a client that never reads holds little however long its answers are.
TEST_F(Listener, HoldsRequestsBackWhileTheirAnswersAreUnwritten)
{
    amplify = true;
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    for (int i = 0; i < 256; ++i)
        client.send(std::string(1024, 'r'));
    ASSERT_TRUE(waitUntil([&] { return link(0)->outstandingBytes() > flowlimits::connectionHighMark; }));
    drainQueue();
    EXPECT_LT(link(0)->outstandingBytes(), 2 * flowlimits::connectionHighMark + 100 * 1024);
}
