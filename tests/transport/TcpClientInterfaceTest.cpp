#include "transport/TcpClientInterface.h"

#include "support/EventLoopThread.h"
#include "support/LogCapture.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(TcpClientInterface, WritesWhatWasQueuedWhileConnectingLosesWhatWasSentWhileDownAndReconnectsOnOpen)
{
    LogCapture capture;
    EventLoopThread loop;
    auto link = std::make_shared<TcpClientInterface>(loop.io(), nullptr);
    RecordingProtocol protocol;
    protocol.attachInterface(link);
    LoopbackPeer peer = LoopbackPeer::listening();
    link->setServer("127.0.0.1", peer.localPort());
    link->send("one");
    link->send("two\0"s);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receiveMessage(), "onetwo\0"s);
    peer.send("first");
    ASSERT_TRUE(waitUntil([&] { return protocol.receivedBytes() == "first"; }));
    peer.send("second");
    ASSERT_TRUE(waitUntil([&] { return protocol.receivedBytes() == "firstsecond"; }));
    EXPECT_TRUE(capture.all().empty());

    peer.closeConnection();
    ASSERT_TRUE(capture.waitForCount(1));
    EXPECT_EQ(capture.all(), std::vector<std::string>{LogCapture::record(
                                 2, "Unable to receive data from 127.0.0.1:" + std::to_string(peer.localPort()) +
                                        ": End of file")});
    ASSERT_TRUE(waitUntil([&] { return !link->isConnected(); }));
    link->send("lost");
    link->open();
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(waitUntil([&] { return link->isConnected(); }));
    link->send("kept\0"s);
    EXPECT_EQ(peer.receiveMessage(), "kept\0"s);
    link->close();
}
