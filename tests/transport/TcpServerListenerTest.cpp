#include "transport/TcpServerListener.h"

#include "core/CommandSingleton.h"
#include "support/EventLoopThread.h"
#include "support/LogCapture.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>

using namespace std::string_literals;

namespace {

// Records, besides its own events, the order in which the worker served the connections:
// "<name>:<bytes>" per delivery and "<name> closed". A protocol standing for one whose requests
// send to the configuration daemon, when `daemon` is set.
struct OrderedProtocol : RecordingProtocol {
    OrderedProtocol(::TextLog& order, std::string name, FlowGate* daemon)
        : order(order), name(std::move(name)), daemon(daemon) {}
    void handleData(const std::string& data, Interface* from) override
    {
        order.add(name + ":" + data);
        if (daemon)
            daemon->noteLinkSend();
        if (data.compare(0, 3, "set") == 0)  // as an own IP change queues its settling
            CommandSingleton::instance().enqueue(commandOf([this](const std::string&) { order.add("settle"); }), "");
        RecordingProtocol::handleData(data, from);
    }
    void handleClosed(const std::string& reason) override
    {
        order.add(name + " closed");
        RecordingProtocol::handleClosed(reason);
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
    std::shared_ptr<ClientCensus> census = std::make_shared<ClientCensus>();
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
        }), gate, limits, census);
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
    std::size_t ended(ClientCensus::Cause cause) const
    {
        return census->figures().disconnected[static_cast<std::size_t>(cause)];
    }
    // Marks the place in the queue of the moment it is called.
    void mark(const std::string& text)
    {
        CommandSingleton::instance().enqueue(commandOf([this, text](const std::string&) { order.add(text); }), "");
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
    first.send(std::string("from first\0", 11));
    second.send(std::string("from second\0", 12));
    LoopbackPeer::connectedTo(port()).send(std::string("from third\0", 11));
    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 3 && protocol(2)->events().size() == 2; }));
    EXPECT_EQ(protocol(2)->events(), (std::vector<std::string>{"data:from third\0"s, "closed:End of file"}));
    EXPECT_FALSE(link(2)->isConnected());
    EXPECT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == std::string("from first\0", 11); }));
    EXPECT_TRUE(waitUntil([&] { return protocol(1)->receivedBytes() == std::string("from second\0", 12); }));
}

// Each read's requests are handed over in one entry, queued as the read completes: the worker
// handles the clients' reads in the order they came, and a client's end as it was noticed, each
// in its place among the other entries of the queue; what a request queues comes after them all,
// and after the requests that came with it.
TEST_F(TcpServerListenerTest, HandlesEachReadInOneEntryInArrivalOrder)
{
    LoopbackPeer a = LoopbackPeer::connectedTo(port());
    LoopbackPeer b = LoopbackPeer::connectedTo(port());
    LoopbackPeer c = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 3; }));
    const std::shared_ptr<TcpServerInterface> aLink = link(0), bLink = link(1), cLink = link(2);
    std::promise<void> release = blockWorker();
    a.send(std::string("set\0get\0", 8));
    ASSERT_TRUE(waitUntil([&] { return aLink->outstandingBytes() == 8; }));
    b.send(std::string("b1\0", 3));
    ASSERT_TRUE(waitUntil([&] { return bLink->outstandingBytes() == 3; }));
    mark("reply");
    c.send(std::string("c1\0", 3));
    c.closeConnection();
    ASSERT_TRUE(waitUntil([&] { return !cLink->isConnected(); }));
    mark("later reply");
    a.send(std::string("a3\0", 3));
    ASSERT_TRUE(waitUntil([&] { return aLink->outstandingBytes() == 11; }));
    release.set_value();
    drainQueue();
    drainQueue();  // and what they queued
    EXPECT_EQ(order.all(), (std::vector<std::string>{"0:set\0get\0"s, "1:b1\0"s, "reply", "2:c1\0"s, "2 closed",
                                                    "later reply", "0:a3\0"s, "settle"}));
}

// The protocol closes a connection whose reading is paused by its own mark: it still hears of
// the end, after the deliveries it was in the middle of.
TEST_F(TcpServerListenerTest, ConnectionClosedWhilePausedStillRunsItsDisconnect)
{
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    const std::shared_ptr<TcpServerInterface> paused = link(0);
    std::promise<void> release = blockWorker();
    std::string requests;
    while (requests.size() <= 2 * flowlimits::connectionHighMark)
        requests += std::string("x\0", 2);
    client.send(requests);
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
    client.send(std::string("a\0", 2));
    ASSERT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == std::string("a\0", 2); }));
    client.send(std::string("b\0", 2));
    ASSERT_TRUE(waitUntil([&] { return census->figures().heldBack == 1; }));
    drainQueue();
    EXPECT_EQ(protocol(0)->receivedBytes(), std::string("a\0", 2));
    gate->linkBackedUp(false);
    EXPECT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes() == std::string("a\0b\0", 4); }));
    EXPECT_TRUE(waitUntil([&] { return census->figures().heldBack == 0; }));
}

// A request that is never ended closes its connection past the bound, with a record.
TEST_F(TcpServerListenerTest, OverLongUnfinishedRequestClosesItsConnection)
{
    LogCapture capture;
    LoopbackPeer longer = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 1; }));
    longer.send(std::string(NulFramer::pendingLimit + 1, 'x'));
    EXPECT_TRUE(longer.closedByPeer());
    EXPECT_TRUE(waitUntil([&] { return protocol(0)->events().size() == 1; }));
    EXPECT_EQ(protocol(0)->events(), std::vector<std::string>{"closed:Operation canceled"});
    EXPECT_EQ(capture.all(), std::vector<std::string>{LogCapture::record(
                                 2, "Host request longer than 1048576 bytes: connection closed")});
    EXPECT_TRUE(waitUntil([&] { return ended(ClientCensus::Cause::overLongRequest) == 1; }));
}

struct TcpServerListenerWithSmallBudget : TcpServerListenerTest {
    TcpServerListenerWithSmallBudget()
    {
        gate = std::make_shared<FlowGate>(flowlimits::hostHighMark, flowlimits::hostLowMark, 4 * flowlimits::KiB);
    }
};

// A client that holds more than its share of the unfinished requests' budget, once all of them
// are over it, is disconnected; the others go on.
TEST_F(TcpServerListenerWithSmallBudget, OverBudgetUnfinishedRequestClosesItsConnection)
{
    LogCapture capture;
    LoopbackPeer first = LoopbackPeer::connectedTo(port());
    LoopbackPeer second = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 2; }));
    first.send(std::string(3 * flowlimits::KiB, 'x'));
    ASSERT_TRUE(waitUntil([&] { return link(0)->unfinishedBytes() == 3 * flowlimits::KiB; }));
    second.send(std::string(2 * flowlimits::KiB, 'y') + '\0' + std::string(3 * flowlimits::KiB, 'y'));
    EXPECT_TRUE(second.closedByPeer());
    ASSERT_TRUE(capture.waitForCount(1));
    const std::string record = capture.all()[0];
    EXPECT_NE(record.find(" disconnected: an unfinished request of "), std::string::npos) << record;
    EXPECT_NE(record.find(" bytes while those of all clients are over their budget"), std::string::npos) << record;
    EXPECT_TRUE(waitUntil([&] { return ended(ClientCensus::Cause::requestBudget) == 1; }));
    first.send(std::string("x\0", 2));
    EXPECT_TRUE(waitUntil([&] { return protocol(0)->receivedBytes().size() == 3 * flowlimits::KiB + 2; }));
}

struct TcpServerListenerWithShortUnreadLimits : TcpServerListenerTest {
    TcpServerListenerWithShortUnreadLimits()
    {
        limits = UnreadLimits{64 * flowlimits::MiB, 64 * flowlimits::KiB, std::chrono::milliseconds(300),
                              std::chrono::milliseconds(100)};
    }
};

// A client that reads none of its answers is disconnected past the hard limit after the hard
// time, and above the soft limit after the soft time, each with a record naming the client.
TEST_F(TcpServerListenerWithShortUnreadLimits, ClientLeavingAnswersUnreadIsDisconnected)
{
    LogCapture capture;
    LoopbackPeer overHard = LoopbackPeer::connectedTo(port());
    LoopbackPeer overSoft = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return takenCount() == 2; }));
    link(0)->send(std::string(limits.hard + 1, 'a'));
    link(1)->send(std::string(16 * flowlimits::MiB, 'a'));  // more than the sockets' buffers take
    ASSERT_TRUE(capture.waitForCount(2));
    const std::vector<std::string> records = capture.all();
    auto saying = [&](const std::string& text) {
        return std::count_if(records.begin(), records.end(),
                             [&](const std::string& record) { return record.find(text) != std::string::npos; });
    };
    EXPECT_EQ(saying("\"Client 127.0.0.1:"), 2);
    EXPECT_EQ(saying(" disconnected: more than 65536 bytes of answers unread for 300 ms\""), 1) << records[0];
    EXPECT_EQ(saying(" disconnected: more than 67108864 bytes of answers unread for 100 ms\""), 1) << records[1];
    EXPECT_EQ(saying("LOG 3 "), 2);
    for (std::size_t i : {0, 1})
        EXPECT_TRUE(waitUntil([&] { return protocol(i)->events().back() == "closed:Operation canceled"; }));
    EXPECT_TRUE(waitUntil([&] { return ended(ClientCensus::Cause::unreadAnswers) == 2; }));
}
