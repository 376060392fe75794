#include "transport/TcpServerListener.h"

#include "core/CommandSingleton.h"
#include "support/EventLoopThread.h"
#include "support/LoopbackPeer.h"
#include "support/RecordingProtocol.h"
#include "support/Wait.h"
#include "support/WorkerControl.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <atomic>

using namespace std::chrono_literals;

namespace {

// Stands where the controller stands: takes each accepted link, attaches a recording
// protocol and opens it, all on the worker thread.
class Acceptor {
public:
    void accept(const std::string& text)
    {
        acceptTexts.push_back(text);
        std::shared_ptr<TcpServerInterface> link = listener->takePendingConnection();
        if (!link)
            return;
        auto protocol = std::make_shared<RecordingProtocol>();
        protocol->attachInterface(link);
        link->setDisconnectCommand(makeCommand<HostProtocol>(protocol.get(), &HostProtocol::handleClosed));
        if (openLinks)
            link->open();
        std::lock_guard<std::mutex> guard(lock);
        links.push_back(link);
        protocols.push_back(protocol);
    }

    std::size_t taken()
    {
        std::lock_guard<std::mutex> guard(lock);
        return protocols.size();
    }
    std::shared_ptr<RecordingProtocol> protocol(std::size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return protocols.at(i);
    }
    std::shared_ptr<TcpServerInterface> link(std::size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return links.at(i);
    }

    std::shared_ptr<TcpServerListener> listener;
    std::vector<std::string> acceptTexts;
    std::atomic<bool> openLinks{true};

private:
    std::mutex lock;
    std::vector<std::shared_ptr<TcpServerInterface>> links;
    std::vector<std::shared_ptr<RecordingProtocol>> protocols;
};

// The loop stops before the listener and links go, and its context outlives them.
struct Listener : testing::Test {
    EventLoopThread loop;
    Acceptor acceptor;

    void SetUp() override
    {
        acceptor.listener = std::make_shared<TcpServerListener>(loop.io(), 0, makeCommand(&acceptor, &Acceptor::accept));
    }
    // Once the loop stops nothing new is queued; the drain then runs what was.
    void TearDown() override
    {
        loop.stop();
        EXPECT_TRUE(drainWorker());
    }
    int port() const { return acceptor.listener->localPort(); }
};

}  // namespace

TEST_F(Listener, HandsOverClientsInAcceptanceOrder)
{
    std::vector<LoopbackPeer> clients;
    {
        WorkerGate gate;
        clients.push_back(LoopbackPeer::connectedTo(port()));
        clients.push_back(LoopbackPeer::connectedTo(port()));
        clients[0].send("from first");
        clients[1].send("from second");
    }
    ASSERT_TRUE(waitUntil([&] { return acceptor.taken() == 2; }));
    ASSERT_TRUE(waitUntil([&] { return acceptor.protocol(0)->receivedBytes() == "from first"; }));
    ASSERT_TRUE(waitUntil([&] { return acceptor.protocol(1)->receivedBytes() == "from second"; }));
    EXPECT_EQ(acceptor.acceptTexts, std::vector<std::string>(2, "Incoming TCP connection"));

    acceptor.link(1)->send("reply");
    EXPECT_EQ(clients[1].receive(5), "reply");
}

TEST_F(Listener, ClientThatLeavesBeforeItIsTakenIsClosedAfterOpen)
{
    {
        WorkerGate gate;
        LoopbackPeer::connectedTo(port());  // connects and closes while the worker is held
    }
    ASSERT_TRUE(waitUntil([&] { return acceptor.taken() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return acceptor.protocol(0)->events().size() == 1; }));
    EXPECT_EQ(acceptor.protocol(0)->events()[0], "closed:End of file");
    EXPECT_FALSE(acceptor.link(0)->isConnected());
}

TEST_F(Listener, DeliversAllDataBeforeTheDisconnect)
{
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return acceptor.taken() == 1; }));
    std::string sent;
    for (int i = 0; i < 200; ++i) {
        std::string chunk = "request " + std::to_string(i) + ";";
        client.send(chunk);
        sent += chunk;
    }
    client.closeConnection();
    std::shared_ptr<RecordingProtocol> protocol = acceptor.protocol(0);
    ASSERT_TRUE(waitUntil([&] {
        auto events = protocol->events();
        return !events.empty() && events.back().rfind("closed:", 0) == 0;
    }));
    EXPECT_EQ(protocol->receivedBytes(), sent);
    EXPECT_EQ(protocol->events().back(), "closed:End of file");
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

TEST_F(Listener, TextsSentBeforeOpenAreWrittenAfterIt)
{
    acceptor.openLinks = false;
    LoopbackPeer client = LoopbackPeer::connectedTo(port());
    ASSERT_TRUE(waitUntil([&] { return acceptor.taken() == 1; }));

    std::shared_ptr<TcpServerInterface> link = acceptor.link(0);
    link->send("early ");
    link->send("bird");
    EXPECT_EQ(client.receive(1, 100ms), "");
    link->open();
    EXPECT_EQ(client.receive(10), "early bird");
}
