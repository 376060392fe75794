#include "transport/TcpServerListener.h"

#include "core/CommandSingleton.h"
#include "support/EventLoopThread.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace {

// Answers every delivery with a hundred times its bytes, as a device search answers at length.
struct AmplifyingProtocol : RecordingProtocol {
    void handleData(const std::string& data, Interface*) override { link->send(std::string(data.size() * 100, 'a')); }
};

// Stands where the controller stands: on the worker, takes each accepted link, attaches a
// recording protocol and opens it. The loop stops before the listener and links go.
struct Listener : testing::Test {
    EventLoopThread loop;
    std::atomic<bool> amplify{false};
    std::vector<std::pair<std::shared_ptr<TcpServerInterface>, std::shared_ptr<RecordingProtocol>>> taken;
    std::shared_ptr<TcpServerListener> listener = std::make_shared<TcpServerListener>(
        loop.io(), 0, commandOf([this](const std::string&) {
            std::shared_ptr<TcpServerInterface> link = listener->takePendingConnection();
            if (!link)
                return;
            auto protocol = amplify ? std::make_shared<AmplifyingProtocol>() : std::make_shared<RecordingProtocol>();
            protocol->attachInterface(link);
            link->setDisconnectCommand(makeCommand<HostProtocol>(protocol.get(), &HostProtocol::handleClosed));
            link->open();
            taken.emplace_back(link, protocol);
        }));

    // Once the loop stops nothing new is queued; the drain then runs what was.
    void TearDown() override
    {
        loop.stop();
        drainQueue();
    }
    int port() const { return listener->localPort(); }
    // Read on the worker, which takes the links.
    std::size_t takenCount() { return onWorker([&] { return taken.size(); }); }
    std::shared_ptr<TcpServerInterface> link(std::size_t i) { return onWorker([&] { return taken.at(i).first; }); }
    std::shared_ptr<RecordingProtocol> protocol(std::size_t i) { return onWorker([&] { return taken.at(i).second; }); }
};

}  // namespace

// Links accepted while the worker is busy are taken in order once it is free; one whose client
// left meanwhile delivers what it sent, then its disconnect.
TEST_F(Listener, HandsOverClientsInAcceptanceOrderAndDataBeforeTheDisconnect)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    CommandSingleton::instance().enqueue(commandOf([released](const std::string&) { released.wait(); }), "");
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
