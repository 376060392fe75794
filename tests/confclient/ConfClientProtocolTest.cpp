#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "confclient/ConfMessage.h"
#include "support/LogCapture.h"

using namespace std::chrono_literals;
using ConfClientProtocolEnvelope = ConfLink;

static const std::string screenSettings = "ip=10.0.0.7\nnetmask=255.0.0.0\ngateway=10.0.0.254\nhostname=screen\n";

// Each link has its own framer: a message cut short on one does not swallow the other's.
TEST_F(ConfClientProtocolEnvelope, FramesMessagesAtTheNulPerLink)
{
    auto devices = searchDevices();
    const std::string split = deviceReply("kpscreen@0C", screenSettings);
    receive(deviceReply("kpscreen@0A", screenSettings) + split.substr(0, 20), direct());
    receive(deviceReply("kpscreen@0M", screenSettings), mainLink.get());
    receive(split.substr(20), direct());
    EXPECT_EQ(devices->received(), (Texts{"0A", "0M", "0C"}));
}

TEST_F(ConfClientProtocolEnvelope, DropsMisaddressedUnknownAndUnreadableMessages)
{
    auto devices = searchDevices();
    directSent();

    directPeer.send(deviceReply("kpscreen@01", screenSettings, "*") +
                    deviceReply("kpscreen@02", screenSettings, "kip@FF:FF:FF:FF:FF:FF") +
                    "from=kpscreen@03\nmsg=device get\n" + screenSettings + std::string(1, '\0') +
                    reply("kpscreen@04", "device list", screenSettings) +
                    deviceReply("kpscreen@05", "hostname=other\n" + screenSettings) +
                    deviceReply("kpscreen@06", screenSettings + "hostname =other\n") +
                    deviceReply("kpscreen@07", screenSettings + "a line without a pair\n") +
                    deviceReply("tessora@08", screenSettings + "ext_dev=1\next_dev=\n"));
    ASSERT_TRUE(waitUntil([&] { return !devices->received().empty(); }));
    drainQueue();
    EXPECT_EQ(devices->received(), Texts{"08"});
    EXPECT_EQ(tree().findChild("devices")->size(), 1u);
    EXPECT_EQ(tree().getOr("devices.08.type", ""), "unsupported");
}

TEST(ConfClientProtocolDuplicateKeys, AdjacentRunsAreNumberedAndOthersLeftAlone)
{
    EXPECT_EQ(numberDuplicateKeys("to=a\nmsg=b\ntext=1;x\ntext= 2 \ntext=3\nname=n\n"),
              "to=a\nmsg=b\ntext0=1;x\ntext1= 2 \ntext2=3\nname=n\n");
    EXPECT_EQ(numberDuplicateKeys("x=1\nx=2\ny=3\ny=4\n"), "x0=1\nx1=2\ny0=3\ny1=4\n");
    EXPECT_EQ(numberDuplicateKeys("a=1\nb=2\na=3\n"), "a=1\nb=2\na=3\n");
    EXPECT_EQ(numberDuplicateKeys("a=1\na=2\nno pair here\n"), "");
}

// The request waits while the main link reconnects, so a daemon that is back gets it.
TEST_F(ConfClientProtocolEnvelope, RequestWhileTheMainLinkIsDownGoesOutOnceItReconnects)
{
    tree().put("system.name", "studio");
    tree().put("corvanet.type", "corvanet");
    mainPeer.closeConnection();
    ASSERT_TRUE(waitUntil([&] { return !mainLink->isConnected(); }));
    auto reply = std::make_shared<RecordingCommand>();
    protocol->requestSystemDevices(reply);
    ASSERT_TRUE(mainPeer.accept());
    EXPECT_EQ(mainSent(), sent("*", "device get"));
    EXPECT_TRUE(reply->received().empty());
    // The system is forgotten, this box is kept.
    EXPECT_FALSE(tree().contains("system"));
    EXPECT_EQ(tree().getOr("corvanet.type", ""), "corvanet");
}

TEST_F(ConfClientProtocolEnvelope, EndlessMessageClosesItsLinkAndTheOtherGoesOn)
{
    LogCapture capture;
    directPeer.send(std::string((1 << 20) + 4096, 'x'));
    EXPECT_TRUE(directPeer.closedByPeer(10s));
    ASSERT_TRUE(capture.waitForCount(1));
    EXPECT_NE(capture.all()[0].find("Message from the configuration daemon longer than 1048576 bytes: link closed"),
              std::string::npos);

    mainPeer.send(deviceReply("tessora@00:1E:C0:20:00:11", "system=r_16\nip=10.0.0.9\n"));
    EXPECT_TRUE(
        waitUntil([&] { return onWorker([&] { return tree().contains("devices.00:1E:C0:20:00:11.router"); }); }));
}
