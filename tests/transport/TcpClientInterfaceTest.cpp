#include "transport/TcpClientInterface.h"

#include "support/EventLoopThread.h"
#include "support/LogCapture.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/Wait.h"

#include <gtest/gtest.h>
#include <boost/system/system_error.hpp>

using namespace std::chrono_literals;

namespace {

struct ClientLink : testing::Test {
    EventLoopThread loop;
    std::shared_ptr<TcpClientInterface> link = std::make_shared<TcpClientInterface>(loop.io(), nullptr);
    RecordingProtocol protocol;
    LogCapture capture;
    LoopbackPeer peer = LoopbackPeer::listening();

    void SetUp() override { protocol.attachInterface(link); }
    void TearDown() override { link->close(); }

    void connect()
    {
        link->setServer("127.0.0.1", peer.localPort());
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(waitUntil([&] { return link->isConnected(); }));
    }
    // While down, a text is lost; `open` connects again and later texts arrive.
    void expectLossThenReopen()
    {
        link->send("lost");
        link->open();
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(waitUntil([&] { return link->isConnected(); }));
        link->send("kept");
        EXPECT_EQ(peer.receive(5, 300ms), "kept");
    }
};

}  // namespace

TEST_F(ClientLink, WritesTextsQueuedWhileAttemptingAndDeliversWhatItReads)
{
    link->setServer("127.0.0.1", peer.localPort());
    link->send("one");
    link->send("two");
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(6), "onetwo");
    ASSERT_TRUE(waitUntil([&] { return link->isConnected(); }));

    peer.send("first");
    ASSERT_TRUE(waitUntil([&] { return protocol.receivedBytes() == "first"; }));
    peer.send("second");
    ASSERT_TRUE(waitUntil([&] { return protocol.receivedBytes() == "firstsecond"; }));
    EXPECT_TRUE(capture.all().empty());
}

TEST_F(ClientLink, LosesWhatWasSentWhileDownAndReconnectsOnOpen)
{
    connect();
    peer.closeConnection();
    ASSERT_TRUE(capture.waitForCount(1));
    EXPECT_EQ(capture.all()[0], LogCapture::record(2, "Unable to receive data from 127.0.0.1:" +
                                                          std::to_string(peer.localPort()) + ": End of file"));
    ASSERT_TRUE(waitUntil([&] { return !link->isConnected(); }));
    expectLossThenReopen();
}

TEST_F(ClientLink, FailedConnectIsSilentAndTheNextOpenTriesTheNextServer)
{
    link->setServers({{"127.0.0.1", LoopbackPeer::unusedPort()}, {"127.0.0.1", peer.localPort()}});
    ASSERT_TRUE(waitUntil([&] { return link->currentPort() == peer.localPort(); }));
    EXPECT_FALSE(link->isConnected());
    expectLossThenReopen();
    EXPECT_TRUE(capture.all().empty());
}

TEST_F(ClientLink, OpenKeepsTheConnectionWhenReopeningIsNotAllowed)
{
    connect();
    link->setOption(TcpClientInterface::optionReopenAllowed, 0);
    link->open();
    link->send("same connection");
    EXPECT_EQ(peer.receive(15), "same connection");

    link->setOption(TcpClientInterface::optionReopenAllowed, 1);
    link->open();
    EXPECT_TRUE(peer.closedByPeer());
    ASSERT_TRUE(peer.accept());
}

TEST_F(ClientLink, CommLogKeepsTheTwentyLatestSanitisedEntries)
{
    connect();
    for (int i = 0; i < 25; ++i)
        link->send("msg=" + std::to_string(i) + "\r\n\"quoted\"\n" + std::string(200, 'x'));
    ASSERT_TRUE(waitUntil([&] {
        auto entries = link->commLogEntries();
        return !entries.empty() && entries.back().find("msg=24") != std::string::npos;
    }));

    std::list<std::string> entries = link->commLogEntries();
    ASSERT_EQ(entries.size(), 20u);
    EXPECT_NE(entries.front().find("msg=5!!!quoted!!"), std::string::npos);
    for (const std::string& entry : entries) {
        std::string text = entry.substr(entry.find("127.0.0.1 TX: "));
        EXPECT_EQ(text.size(), 100u);
        EXPECT_EQ(text.find_first_of("\r\n\""), std::string::npos);
    }

    link->dumpCommLog(3, "confd");
    std::vector<std::string> records = capture.all();
    ASSERT_EQ(records.size(), 20u);
    EXPECT_NE(records[0].find("\"confd: CommLog 0: "), std::string::npos);
    EXPECT_NE(records[19].find("confd: CommLog 19: "), std::string::npos);
    EXPECT_EQ(link->commLogEntries(), std::list<std::string>{"CommLog cleared"});
}

TEST(ClientLinkResolve, UnresolvableHostThrowsToTheEventLoop)
{
    boost::asio::io_context io;
    auto link = std::make_shared<TcpClientInterface>(io, nullptr);
    link->setServer("no-such-host.invalid", 3972);
    try {
        io.run();
        FAIL() << "resolving should have failed";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("resolve", 0), 0u) << error.what();
    }
    EXPECT_FALSE(link->isConnected());
}
