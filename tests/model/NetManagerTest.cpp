#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"
#include "support/EventLoopThread.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/TreeText.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

using Texts = std::vector<std::string>;

namespace {

// Puts each "path=value" of the blank-separated list, the paths below `node`.
void describe(SystemTree& tree, const std::string& pairs, const std::string& node = "")
{
    std::istringstream words(pairs);
    for (std::string pair; words >> pair;)
        tree.put(node + pair.substr(0, pair.find('=')), pair.substr(pair.find('=') + 1));
}

TEST(NetManagerQuestions, AnswerFromTheTree)
{
    // The tree, then: has a system, may change its IP settings, may use the builder.
    const std::pair<const char*, std::tuple<bool, bool, bool>> cases[] = {
        {"system.spread.no_of_hosts=0 corvanet.internal_protocol=none corvanet.neighbor_mac=", {false, true, false}},
        {"system.spread.no_of_hosts=two", {false, true, false}},
        {"system.spread.no_of_hosts=1 corvanet.neighbor_mac=00:1E:C0:4A:10:03", {true, false, false}},
        {"system.spread.no_of_hosts=1 corvanet.internal_protocol=modular", {true, false, false}},
    };
    for (const auto& [tree, answers] : cases) {
        NetManager netManager;
        describe(netManager.tree(), tree);
        EXPECT_EQ(std::make_tuple(netManager.hasSystem(), netManager.mayChangeIpSettings(), netManager.mayUseBuilder()),
                  answers)
            << tree;
    }
}

const std::string video = "00:1E:C0:20:00:11";
const std::string audio = "00:1E:C0:20:00:12";
const std::string data = "00:1E:C0:20:00:13";

// A network manager whose links reach two loopback peers standing in for the configuration
// daemon; they read nothing, so no request is ever answered.
struct NetManagerOnLinks : testing::Test {
    EventLoopThread loop;
    LoopbackPeer mainPeer = LoopbackPeer::listening();
    LoopbackPeer directPeer = LoopbackPeer::listening();
    NetManager manager;

    void SetUp() override
    {
        manager.connect(loop.io(), "127.0.0.1", mainPeer.localPort(), directPeer.localPort());
        manager.setOwnChangeDelays(std::chrono::milliseconds(0), std::chrono::milliseconds(0));
        ASSERT_TRUE(mainPeer.accept() && directPeer.accept());
        ASSERT_TRUE(waitUntil([&] { return manager.confClientProtocol()->directInterface()->isConnected(); }));
        describe(manager.tree(), "corvanet.type=corvanet corvanet.ip_settings.mac_address=00:1E:C0:4A:10:01 "
                                 "system.name=studio-a system.description=Studio system.subsystems.0.user=3");
    }
    void describeDevice(const std::string& mac, const std::string& ip, const std::string& hostname,
                        const std::string& pairs)
    {
        describe(manager.tree(),
                 "ip_settings.mac_address=" + mac + " ip_settings.ip_address=" + ip + " ip_settings.hostname=" +
                     hostname + " " + pairs,
                 "devices." + mac + ".");
    }
    std::string text(const std::string& path) { return manager.tree().getOr(path, "<none>"); }
};

// The answer of a change that passes the check waits on the configuration daemon: none comes.
TEST_F(NetManagerOnLinks, IpChangeStopsAtTheLastConflictInTreeOrder)
{
    describeDevice(video, "192.168.10.31", "tr-video-1", "type=tessora");
    describeDevice(data, "192.168.10.33", "tr-data-1", "type=tessora");
    describeDevice("00:1E:C0:30:00:21", "192.168.10.51", "kps-gallery", "type=tessora");
    struct Case {
        std::string ip, hostname, mac, outcome;
    };
    const Case cases[] = {
        {"", "tr-video-1", data, "hostname_conflict"},
        {"192.168.10.31", "", data, "ip_address_conflict"},
        {"192.168.10.51", "tr-video-1", data, "ip_address_conflict"},
        {"192.168.10.31", "kps-gallery", data, "hostname_conflict"},
        {"192.168.10.34", "tr-data-1", data, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ip + " " + c.hostname + " " + c.mac);
        auto requester = std::make_shared<RecordingCommand>();
        onWorker([&] { manager.setIpSettings(c.ip, "", "", c.hostname, c.mac, requester); });
        drainQueue();
        drainQueue();
        EXPECT_EQ(requester->received(), c.outcome.empty() ? Texts{} : Texts{c.outcome});
    }
    EXPECT_EQ(leaves(manager.tree(), "devices." + data + ".ip_settings"),
              "mac_address=" + data + " ip_address=192.168.10.34 hostname=tr-data-1");
}

// A change of this box's own settings, once settled: a box whose system name is the new host name
// refuses it; otherwise this box forms a system named after it, the routers of the old system
// follow (with the new mask and gateway when the settings changed) and "spread set" goes out.
TEST_F(NetManagerOnLinks, OwnIpChangeFormsASystemTheOldSystemsRoutersFollow)
{
    const std::string own = "00:1E:C0:4A:10:01";
    describeDevice(video, "192.168.10.31", "tr-video-1", "type=tessora system_name=studio-a");
    describeDevice(audio, "192.168.10.42", "tr-audio-1", "type=tessora system_name=elsewhere");
    describeDevice("00:1E:C0:4A:10:02", "192.168.10.22", "kbox-b", "type=corvanet system_name=kbox-9");
    auto refused = std::make_shared<RecordingCommand>();
    onWorker([&] { manager.setIpSettings("192.168.10.9", "255.255.0.0", "192.168.0.1", "kbox-9", own, refused); });
    drainQueue();
    drainQueue();
    EXPECT_EQ(refused->received(), Texts{"system_name_conflict"});
    EXPECT_EQ(text("system.name"), "studio-a");
    EXPECT_NE(directPeer.receiveMessage().find("\nmsg=device get\n"), std::string::npos);

    auto requester = std::make_shared<RecordingCommand>();
    onWorker([&] { manager.setIpSettings("192.168.10.9", "255.255.0.0", "192.168.0.1", "kbox-8", own, requester); });
    drainQueue();
    drainQueue();
    EXPECT_TRUE(requester->received().empty());  // answered at the end of the Spread chain
    EXPECT_TRUE(manager.ipSettingsWereChanged());
    EXPECT_EQ(leaves(manager.tree(), "corvanet.ip_settings"),
              "mac_address=" + own + " ip_address=192.168.10.9 subnet_mask=255.255.0.0 default_gateway=192.168.0.1 "
                                     "hostname=kbox-8");
    EXPECT_EQ(text("system.name") + "|" + text("system.description") + "|" + text("system.spread.no_of_hosts"),
              "kbox-8|Corvanet Configurator System|1");
    EXPECT_EQ(text("devices." + video + ".system_name") + " " + text("devices." + video + ".ip_settings.subnet_mask"),
              "kbox-8 255.255.0.0");
    EXPECT_EQ(text("devices." + audio + ".system_name"), "elsewhere");
    EXPECT_NE(mainPeer.receiveMessage().find("\nmsg=spread set\n"), std::string::npos);
    EXPECT_NE(directPeer.receiveMessage().find("\nmsg=device get\n"), std::string::npos);
    const std::string told = directPeer.receiveMessage();
    EXPECT_EQ(told.rfind("to=tessora@" + video + "\n", 0), 0u) << told;
    EXPECT_NE(told.find("\nsystem_name=kbox-8\n"), std::string::npos) << told;
    EXPECT_NE(told.find("\nbootprotocol=static\nip=192.168.10.31\nnetmask=255.255.0.0\n"), std::string::npos) << told;
}

TEST_F(NetManagerOnLinks, RoutersTakeASubsystemLevelAndPorts)
{
    describeDevice(video, "192.168.10.31", "tr-video-1",
                   "type=tessora address=0 router.format=video router.inputs=64 router.outputs=32");
    describeDevice(audio, "192.168.10.42", "",
                   "type=tessora address=1 router.format=audio router.inputs=2 router.outputs=1");
    describeDevice(data, "192.168.10.53", "tr-data-1",
                   "type=tessora address=19 router.format=data router.inputs=32 router.outputs=32");

    manager.addRouterToSystem(video, "", "", "", nullptr);
    EXPECT_EQ(text("devices." + video + ".system_name") + " " + text("devices." + video + ".subsystem"), "studio-a 1");
    const std::string subsystem = leaves(manager.tree(), "system.subsystems.1");
    EXPECT_EQ(subsystem.substr(0, subsystem.find(" routers.")),
              "description=tr-video-1 interface_type=tcpip protocol_name=tessora protocol_type=native "
              "router1=192.168.10.31:4381");
    EXPECT_EQ(leaves(manager.tree(), "system.levels.1"),
              "name=tr-video-1 alias=Tessora description= subsystem=1 router=1 partition=0");
    EXPECT_EQ(leaves(manager.tree(), "system.subsystems.1.routers.1.partitions.0"),
              "physical_in=0-63 physical_out=0-31 levelno=1 levelname=tr-video-1 levelalias= leveldescription= "
              "levelactive=true");
    const std::string ports = "system.subsystems.1.routers.1.";
    EXPECT_EQ(text(ports + "routersize") + " " + text(ports + "inputs.63.name") + " " + text(ports + "outputs.0.name"),
              "64x32 IN064 OUT001");

    // Audio routers count from 101 on; without a host name the level is named after its number.
    manager.addRouterToSystem(audio, "", "", "", nullptr);
    EXPECT_EQ(leaves(manager.tree(), "system.levels.102"),
              "name=Level 102 alias=Tessora description= subsystem=2 router=102 partition=0");
    // Data routers at address 16 and above too; a level already taken gives way to the next free one.
    manager.addRouterToSystem(data, "1", "Data", "Desk", nullptr);
    EXPECT_EQ(leaves(manager.tree(), "system.levels.2"),
              "name=Data alias=Tessora description=Desk subsystem=3 router=104 partition=0");
}

}  // namespace
