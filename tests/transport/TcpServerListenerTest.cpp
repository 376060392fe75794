#include "transport/TcpServerListener.h"

#include "core/CommandSingleton.h"
#include "support/EventLoopThread.h"
#include "support/LogCapture.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace {

// Records, besides its own events, the order in which the worker served the connections.
// A protocol standing for one whose requests send to the configuration daemon, when `daemon` is set.
struct OrderedProtocol : RecordingProtocol {
    OrderedProtocol(::TextLog& order, std::string name, FlowGate* daemon)
        : order(order), name(std::move(name)), daemon(daemon) {}
    void handleData(const std::string& data, Interface* from) override
    {
        order.add(name);
        if (daemon)
            daemon->noteLinkSend();
        RecordingProtocol::handleData(data, from);
    }
    ::TextLog& order;
    const std::string name;
    FlowGate* daemon;
};

// Stands where the controller stands: on the worker, takes each accepted link, attaches a
// recording protocol and opens it. The loop stops before the listener and links go.
struct TcpServerListenerTest : testing::Test {
    EventLoopThread loop;
    std::atomic<bool> sendToDaemon{false};
    std::shared_ptr<FlowGate> gate = std::make_shared<FlowGate>();
    TextLog order;
    std::vector<std::pair<std::shared_ptr<TcpServerInterface>, std::shared_ptr<RecordingProtocol>>> taken;
    UnreadLimits limits;
    std::shared_ptr<TcpServerListener> listener;

    void SetUp() override
    {
        listener = std::make_shared<TcpServerListener>(loop.io(), 0, commandOf([this](const std::string&) {
            std::shared_ptr<TcpServerInterface> link = listener->takePendingConnection();
            if (!link)
                return;
            auto protocol = std::make_shared<OrderedProtocol>(order, std::to_string(taken.size()),
                                                              sendToDaemon ? gate.get() : nullptr);
            protocol->attachInterface(link);
            link->setDisconnectCommand(makeCommand<HostProtocol>(protocol.get(), &HostProtocol::handleClosed));
            link->open();
            taken.emplace_back(link, protocol);
        }), gate, limits);
    }

    // Once the loop stops nothing new is read; closing every link ends its turns, which the
    // drains then run: the first the turns closing queued, the second those they queued in turn.
    void TearDown() override
    {
        loop.stop();
        onWorker([this] {
            for (const auto& connection : taken)
                connection.first->close();
            return true;
        });
        drainQueue();
        drainQueue();
    }
    int port() const { return listener->localPort(); }
    // The worker waits until the promise is kept.
    static std::promise<void> blockWorker()
    {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        CommandSingleton::instance().enqueue(commandOf([released](const std::string&) { released.wait(); }), "");
        return release;
    }
    // Read on the worker, which takes the links.
    std::size_t takenCount() { return onWorker([&] { return taken.size(); }); }
    std::shared_ptr<TcpServerInterface> link(std::size_t i) { return onWorker([&] { return taken.at(i).first; }); }
    std::shared_ptr<RecordingProtocol> protocol(std::size_t i) { return onWorker([&] { return taken.at(i).second; }); }
};

}  // namespace

// Links accepted while the worker is busy are taken in order once it is free; one whose client
// left meanwhile delivers what it sent, then its disconnect.
TEST_F(TcpServerListenerTest, HandsOverClientsInAcceptanceOrderAndDataBeforeTheDisconnect)
{
    std::promise<void> release = blockWorker();
    LoopbackPeer first = LoopbackPeer::connectedTo(port());
    LoopbackPeer second = LoopbackPeer::connectedTo(port());
    first.send("from first");
    second.send("from second");
    LoopbackPeer::connectedTo(port()).send("from third");
    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 3 && protocol(2)->events().size() == 2; }));
    EXPECT_EQ(protocol(2)->events(), (std::vector<std::string>{"data:from third", "closed:End of file"}));
    EXPECT_FALSE(link(2)->isConnected());
    EXPECT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == "from first"; }));
    EXPECT_TRUE(waitUntil([&] { return protocol(1)->receivedBytes() == "from second"; }));
}

// A connection with a backlog of requests gets one handed over per turn, so another's request
// is not kept waiting behind them all.
TEST_F(TcpServerListenerTest, ServesConnectionsInTurnOneRequestAtATime)
{
    LoopbackPeer busy = LoopbackPeer::connectedTo(port());
    LoopbackPeer quiet = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 2; }));
    const std::shared_ptr<TcpServerInterface> busyLink = link(0), quietLink = link(1);
    std::promise<void> release = blockWorker();
    std::string backlog;
    for (int i = 0; i < 500; ++i)
        backlog += "request " + std::to_string(i) + '\0';
    busy.send(backlog);
    ASSERT_TRUE(waitUntil([&] { return busyLink->outstandingBytes() == backlog.size(); }));
    quiet.send(std::string("q\0", 2));
    ASSERT_TRUE(waitUntil([&] { return quietLink->outstandingBytes() == 2; }));
    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == backlog; }));
    const std::vector<std::string> served = order.all();
    EXPECT_EQ(std::vector<std::string>(served.begin(), served.begin() + 3), (std::vector<std::string>{"0", "1", "0"}));
    EXPECT_EQ(protocol(0)->events()[0], "data:" + std::string("request 0\0", 10));
}

// The protocol closes a connection whose reading is paused by its own mark: it still hears of
// the end, after the deliveries it was in the middle of.
TEST_F(TcpServerListenerTest, ConnectionClosedWhilePausedStillRunsItsDisconnect)
{
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    const std::shared_ptr<TcpServerInterface> paused = link(0);
    std::promise<void> release = blockWorker();
    client.send(std::string(2 * flowlimits::connectionHighMark, 'x'));
    ASSERT_TRUE(waitUntil([&] { return paused->outstandingBytes() > flowlimits::connectionHighMark; }));
    CommandSingleton::instance().enqueue(commandOf([this](const std::string&) { taken.at(0).first->close(); }), "");
    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return protocol(0)->events().size() >= 2; }));
    const std::vector<std::string> events = protocol(0)->events();
    EXPECT_EQ(events.back(), "closed:Operation canceled");
    EXPECT_EQ(std::count(events.begin(), events.end(), events.back()), 1);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_EQ(paused->outstandingBytes(), 0u);
}

// A connection whose request sent to the configuration daemon while its link was backed up waits
// until the link has drained; then its next request goes on.
TEST_F(TcpServerListenerTest, SenderToABackedUpDaemonWaitsUntilItsLinkDrains)
{
    sendToDaemon = true;
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    gate->linkBackedUp(true);
    client.send(std::string("a\0b\0", 4));
    ASSERT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == std::string("a\0", 2); }));
    drainQueue();
    EXPECT_EQ(protocol(0)->receivedBytes(), std::string("a\0", 2));
    gate->linkBackedUp(false);
    EXPECT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == std::string("a\0b\0", 4); }));
}

struct TcpServerListenerWithShortUnreadLimits : TcpServerListenerTest {
    TcpServerListenerWithShortUnreadLimits() { limits = UnreadLimits{64 * flowlimits::MiB, 64 * flowlimits::KiB, std::chrono::milliseconds(200)}; }
};

// Answers a client does not read disconnect it past the hard limit at once, and above the soft
// limit after the soft time, each with a record naming the client.
TEST_F(TcpServerListenerWithShortUnreadLimits, ClientLeavingAnswersUnreadIsDisconnected)
{
    LogCapture capture;
    LoopbackPeer overHard = LoopbackPeer::connectedTo(port());
    LoopbackPeer overSoft = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 2; }));
    link(0)->send(std::string(limits.hard + 1, 'a'));
    EXPECT_TRUE(overHard.closedByPeer());
    link(1)->send(std::string(16 * flowlimits::MiB, 'a'));  // more than the sockets' buffers take
    ASSERT_TRUE(capture.waitForCount(2));
    const std::vector<std::string> records = capture.all();
    auto says = [&](std::size_t i, const std::string& text) { return records[i].find(text) != std::string::npos; };
    EXPECT_TRUE(says(0, "LOG 3 ") && says(0, "\"Client 127.0.0.1:") && says(1, "\"Client 127.0.0.1:") &&
                says(0, " disconnected: more than 67108864 bytes of answers unread\"") &&
                says(1, " disconnected: more than 65536 bytes of answers unread for 200 ms\""))
        << records[0] << records[1];
    EXPECT_TRUE(waitUntil([&] { return protocol(1)->events().back() == "closed:Operation canceled"; }));
}
