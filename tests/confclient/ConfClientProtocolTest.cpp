#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "confclient/ConfLinkFixture.h"
#include "support/LogCapture.h"
#include "support/WorkerQueue.h"
#include "transport/MacAddress.h"

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

namespace {

const std::string screenSettings = "ip=10.0.0.7\nnetmask=255.0.0.0\ngateway=10.0.0.254\nhostname=screen\n";

std::size_t readsOf(Interface& link)
{
    std::size_t reads = 0;
    for (const std::string& entry : link.commLogEntries())
        reads += entry.find(" RX: ") != std::string::npos;
    return reads;
}

using ConfClientEnvelope = ConfLink;

struct ConfClientOwnMac : ConfLink {
    boost::optional<std::string> macText() override { return boost::none; }
};

}  // namespace

TEST_F(ConfClientEnvelope, RequestsCarryTheEnvelopeAndTheirBody)
{
    protocol->requestSystemDevices(nullptr);
    EXPECT_EQ(mainPeer.receiveMessage(), withNul("to=*\nfrom=kip@00:11:22:33:44:55\nmsg=device get\n"));
    protocol->requestSubsystemList(nullptr);
    EXPECT_EQ(mainPeer.receiveMessage(), withNul("to=*\nfrom=kip@00:11:22:33:44:55\nmsg=subsystem list get\n"));
    protocol->requestSystemUpdate(nullptr);
    EXPECT_EQ(mainPeer.receiveMessage(), withNul("to=*\nfrom=kip@00:11:22:33:44:55\nmsg=system update\n"));
    protocol->requestDeviceList(nullptr);
    EXPECT_EQ(directPeer.receiveMessage(), withNul("to=*\nfrom=kip@00:11:22:33:44:55\nmsg=device get\n"));

    boost::property_tree::ptree body;
    body.push_back({"ip", boost::property_tree::ptree("10.0.0.9")});
    body.push_back({"device.name", boost::property_tree::ptree("panel 1")});
    boost::property_tree::ptree group("top");
    group.put("below", "not written");
    body.push_back({"group", group});
    protocol->sendTo("device set", "tessora@0A", body);
    EXPECT_EQ(directPeer.receiveMessage(),
              withNul("to=tessora@0A\nfrom=kip@00:11:22:33:44:55\nmsg=device set\nip=10.0.0.9\ndevice.name=panel 1\n"
                      "group=top\n"));
    protocol->sendMessage("mnemonics set", "levelno=1\n");
    EXPECT_EQ(mainPeer.receiveMessage(), withNul("to=*\nfrom=kip@00:11:22:33:44:55\nmsg=mnemonics set\nlevelno=1\n"));
}

TEST_F(ConfClientOwnMac, NamesItselfByTheMacOfEth0)
{
    protocol->requestSystemUpdate(nullptr);
    EXPECT_EQ(mainPeer.receiveMessage(), withNul("to=*\nfrom=kip@" + readMacAddress() + "\nmsg=system update\n"));
}

TEST_F(ConfClientEnvelope, FramesMessagesAtTheNulAcrossReads)
{
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    directPeer.receiveMessage();

    directPeer.send(deviceReply("kpscreen@0A", screenSettings) + deviceReply("kpscreen@0B", screenSettings));
    ASSERT_TRUE(waitUntil([&] { return devices->received().size() == 2; }));
    EXPECT_EQ(devices->received(), (Texts{"0A", "0B"}));

    const std::string split = deviceReply("kpscreen@0C", screenSettings);
    const std::string next = deviceReply("kpscreen@0D", screenSettings);
    Interface& link = *direct();
    const std::size_t reads = readsOf(link);
    directPeer.send(split.substr(0, 20));
    ASSERT_TRUE(waitUntil([&] { return readsOf(link) == reads + 1; }));
    directPeer.send(split.substr(20, 30));
    ASSERT_TRUE(waitUntil([&] { return readsOf(link) == reads + 2; }));
    ASSERT_TRUE(drainCommandQueue());
    EXPECT_EQ(devices->received().size(), 2u);

    directPeer.send(split.substr(50) + next.substr(0, 9));
    ASSERT_TRUE(waitUntil([&] { return devices->received().size() == 3; }));
    directPeer.send(next.substr(9));
    ASSERT_TRUE(waitUntil([&] { return devices->received().size() == 4; }));
    EXPECT_EQ(devices->received(), (Texts{"0A", "0B", "0C", "0D"}));
}

TEST_F(ConfClientEnvelope, DropsMisaddressedUnknownAndUnreadableMessages)
{
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    directPeer.receiveMessage();

    directPeer.send(deviceReply("kpscreen@01", screenSettings, "*") +
                    deviceReply("kpscreen@02", screenSettings, "kip@FF:FF:FF:FF:FF:FF") +
                    withNul("from=kpscreen@03\nmsg=device get\n" + screenSettings) +
                    withNul("to=kip@00:11:22:33:44:55\nfrom=kpscreen@04\nmsg=device list\n" + screenSettings) +
                    deviceReply("kpscreen@05", "hostname=other\n" + screenSettings) +
                    deviceReply("kpscreen@06", screenSettings + "hostname =other\n") +
                    deviceReply("kpscreen@07", screenSettings + "a line without a pair\n") +
                    deviceReply("tessora@08", screenSettings + "ext_dev=1\next_dev=\n"));
    ASSERT_TRUE(waitUntil([&] { return !devices->received().empty(); }));
    ASSERT_TRUE(drainCommandQueue());

    EXPECT_EQ(devices->received(), Texts{"08"});
    EXPECT_EQ(tree().findChild("devices")->size(), 1u);
    EXPECT_EQ(tree().getOr("devices.08.type", ""), "unsupported");
}

TEST(ConfClientDuplicateKeys, AdjacentRunsAreNumberedAndOthersLeftAlone)
{
    EXPECT_EQ(numberDuplicateKeys("to=a\nmsg=b\ntext=1;x\ntext= 2 \ntext=3\nname=n\n"),
              "to=a\nmsg=b\ntext0=1;x\ntext1= 2 \ntext2=3\nname=n\n");
    EXPECT_EQ(numberDuplicateKeys("x=1\nx=2\ny=3\ny=4\n"), "x0=1\nx1=2\ny0=3\ny1=4\n");
    EXPECT_EQ(numberDuplicateKeys("a=1\nb=2\na=3\n"), "a=1\nb=2\na=3\n");
    EXPECT_EQ(numberDuplicateKeys("a=1\na=2\nno pair here\n"), "");
}

TEST(ConfClientLinkDown, RequestReportsAfterOneReconnectAndTheDirectLinkDropsSilently)
{
    EventLoopThread loop;
    const int closedPort = LoopbackPeer::listening().localPort();
    NetManager netManager;
    netManager.tree().put("system.name", "studio");
    netManager.tree().put("devices.0A.type", "tessora");
    netManager.tree().put("corvanet.type", "corvanet");
    auto mainLink = std::make_shared<TcpClientInterface>(loop.io(), nullptr);
    mainLink->setServer("127.0.0.1", closedPort);
    auto protocol = std::make_shared<ConfClientProtocol>(loop.io(), mainLink, &netManager, closedPort,
                                                         std::string("00:11:22:33:44:55"));

    auto reply = std::make_shared<RecordingCommand>();
    auto start = std::chrono::steady_clock::now();
    protocol->requestSystemDevices(reply);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 950ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_EQ(reply->received(), Texts{ConfClientProtocol::notConnectedText});
    EXPECT_FALSE(netManager.tree().contains("system"));
    EXPECT_FALSE(netManager.tree().contains("devices"));
    EXPECT_EQ(netManager.tree().getOr("corvanet.type", ""), "corvanet");

    auto devices = std::make_shared<RecordingCommand>();
    start = std::chrono::steady_clock::now();
    protocol->requestDeviceList(devices);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(devices->received().empty());
    EXPECT_EQ(reply->received().size(), 1u);
}

TEST_F(ConfClientEnvelope, EndlessMessageClosesItsLinkAndTheOtherGoesOn)
{
    LogCapture capture;
    directPeer.send(std::string((1 << 20) + 4096, 'x'));
    EXPECT_TRUE(directPeer.closedByPeer(10s));
    ASSERT_TRUE(capture.waitForCount(1));
    EXPECT_NE(capture.all()[0].find("Message from the configuration daemon longer than 1048576 bytes: link closed"),
              std::string::npos);

    mainPeer.send(deviceReply("tessora@00:1E:C0:20:00:11", "system=r_16\nip=10.0.0.9\n"));
    EXPECT_TRUE(waitUntil([&] {
        return onWorker([&] { return tree().contains("devices.00:1E:C0:20:00:11.router"); });
    }));
}
