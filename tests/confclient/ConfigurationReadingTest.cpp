#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "support/SimulatedNetwork.h"
#include "support/WorkerControl.h"
#include "support/WorkerQueue.h"
#include "transport/MacAddress.h"

using Texts = std::vector<std::string>;

namespace {

constexpr std::chrono::seconds chainLimit(10);

// A network manager connected to the simulator holding tests/data/network-levels.json.
struct SimulatedSystem : SimulatedNetwork {
    explicit SimulatedSystem(const Texts& faults = {}) : SimulatedNetwork("tests/data/network-levels.json", faults) {}

    void requestSubsystemList(std::shared_ptr<Command> reply)
    {
        withProtocol([&](ConfClientProtocol& protocol) { protocol.requestSubsystemList(reply); });
    }
};

void flatten(const SystemTree::Tree& node, const std::string& prefix, std::string& out)
{
    for (const SystemTree::Tree::value_type& child : node) {
        if (child.second.empty())
            out += (out.empty() ? "" : " ") + prefix + child.first + "=" + child.second.data();
        else
            flatten(child.second, prefix + child.first + ".", out);
    }
}

// The leaves under `path` as "key=value" in tree order, read on the worker.
std::string entryOf(NetManager& netManager, const std::string& path)
{
    return onWorker([&] {
        std::string out;
        if (const SystemTree::Tree* entry = netManager.tree().findChild(path))
            flatten(*entry, "", out);
        return out;
    });
}

std::string request(const std::string& name, const std::string& body = "")
{
    return "to=*\nfrom=kip@" + readMacAddress() + "\nmsg=" + name + "\n" + body;
}

Texts chainStart()
{
    return {request("subsystem list get"), request("subsystem get", "subsystem=0\n"),
            request("subsystem get", "subsystem=1\n"), request("subsystem get", "subsystem=2\n"),
            request("partition list get")};
}

void expectPartitionRead(Texts& texts, const std::string& partition, const std::string& level)
{
    texts.push_back(request("partition get", "partition=" + partition + "\n"));
    texts.push_back(request("mnemonics get", "levelno=" + level + "\ndirection=input\n"));
    texts.push_back(request("mnemonics get", "levelno=" + level + "\ndirection=output\n"));
}

}  // namespace

TEST(ConfigurationReading, ChainCopiesSubsystemsPartitionsAndMnemonicsFromTheSimulator)
{
    SimulatedSystem system;
    ASSERT_TRUE(system.connected);
    auto reply = std::make_shared<RecordingCommand>();
    system.requestSubsystemList(reply);
    ASSERT_TRUE(waitUntil([&] { return !reply->received().empty(); }, chainLimit));
    EXPECT_EQ(reply->received(), Texts{""});

    Texts expected = chainStart();
    expectPartitionRead(expected, "1:1:0", "1");
    expectPartitionRead(expected, "2:103:0", "2");
    expectPartitionRead(expected, "2:103:1", "3");
    expectPartitionRead(expected, "2:104:0", "0");
    EXPECT_EQ(system.sim.receivedTexts(), expected);

    NetManager& manager = system.netManager;
    EXPECT_EQ(entryOf(manager, "system.subsystems.0"),
              "interface_type=internal protocol_name=none protocol_type=internal user=3");
    EXPECT_EQ(entryOf(manager, "system.subsystems.1"),
              "interface_type=tcpip protocol_name=tessora protocol_type=native user=12 router1=10.20.0.11:4381 "
              "router2=10.20.0.12:4381 routers.1.routerformat=video routers.1.routersize=4x2 "
              "routers.1.routertype=video routers.1.partitions.0.levelno=1 routers.1.partitions.0.levelname=Video "
              "routers.1.partitions.0.levelalias=V routers.1.partitions.0.leveldescription=Studio video "
              "routers.1.partitions.0.levelactive=true routers.1.partitions.0.physical_in=0-3 "
              "routers.1.partitions.0.physical_out=0-1 routers.1.inputs.0.name=CAM 1 routers.1.inputs.0.alias=C1 "
              "routers.1.inputs.0.description=Camera one routers.1.inputs.0.icon=cam.png "
              "routers.1.inputs.1.name=CAM 2 routers.1.inputs.1.alias= routers.1.inputs.1.description= "
              "routers.1.inputs.1.icon= routers.1.inputs.2.name=VTR 1 routers.1.inputs.2.alias=V1 "
              "routers.1.inputs.2.description= routers.1.inputs.2.icon= routers.1.outputs.0.name=MON 1 "
              "routers.1.outputs.0.alias= routers.1.outputs.0.description= routers.1.outputs.0.icon= "
              "routers.1.outputs.1.name=TX 1 routers.1.outputs.1.alias= "
              "routers.1.outputs.1.description=Transmission routers.1.outputs.1.icon=");
    EXPECT_EQ(entryOf(manager, "system.subsystems.2"),
              "interface_type=tcpip protocol_name=tessora protocol_type=none user=3 router1=10.20.0.21:4381 "
              "routers.103.routerformat=audio routers.103.routersize=0x0 routers.103.routertype= "
              "routers.103.partitions.0.levelno=2 routers.103.partitions.0.levelname=Audio "
              "routers.103.partitions.0.levelalias= routers.103.partitions.0.leveldescription= "
              "routers.103.partitions.0.levelactive=true routers.103.partitions.0.physical_in=0-0 "
              "routers.103.partitions.0.physical_out=0-1 routers.103.partitions.1.levelno=3 "
              "routers.103.partitions.1.levelname=Spare routers.103.partitions.1.levelalias= "
              "routers.103.partitions.1.leveldescription= routers.103.partitions.1.levelactive=false "
              "routers.103.partitions.1.physical_in= routers.103.partitions.1.physical_out= "
              "routers.103.inputs.0.name=MIC 1 routers.103.inputs.0.alias= routers.103.inputs.0.description= "
              "routers.103.inputs.0.icon= routers.103.outputs.0.name=MIX 1 routers.103.outputs.0.alias= "
              "routers.103.outputs.0.description= routers.103.outputs.0.icon= routers.103.outputs.1.name=MIX 2 "
              "routers.103.outputs.1.alias= routers.103.outputs.1.description= routers.103.outputs.1.icon= "
              "routers.104.routerformat= routers.104.routersize=0x0 routers.104.routertype= "
              "routers.104.partitions.0.levelno=0 routers.104.partitions.0.levelname= "
              "routers.104.partitions.0.levelalias= routers.104.partitions.0.leveldescription= "
              "routers.104.partitions.0.levelactive=false routers.104.partitions.0.physical_in=0-1 "
              "routers.104.partitions.0.physical_out=");
    EXPECT_EQ(entryOf(manager, "system.levels"),
              "1.name=Video 1.alias=V 1.description=Studio video 1.subsystem=1 1.router=1 1.partition=0 "
              "2.name=Audio 2.alias= 2.description= 2.subsystem=2 2.router=103 2.partition=0");
}

TEST(ConfigurationReading, FailingPartitionStatusEndsTheChainAndARetryStartsAfresh)
{
    SimulatedSystem system({"--fail", "partition get=partition locked"});
    ASSERT_TRUE(system.connected);
    auto reply = std::make_shared<RecordingCommand>();
    system.requestSubsystemList(reply);
    ASSERT_TRUE(waitUntil([&] { return !reply->received().empty(); }, chainLimit));
    EXPECT_EQ(reply->received(), Texts{"partition locked"});

    Texts expected = chainStart();
    expected.push_back(request("partition get", "partition=1:1:0\n"));
    EXPECT_EQ(system.sim.receivedTexts(), expected);
    EXPECT_EQ(entryOf(system.netManager, "system.subsystems.2"),
              "interface_type=tcpip protocol_name=tessora protocol_type=none user=3 router1=10.20.0.21:4381");
    EXPECT_EQ(entryOf(system.netManager, "system.subsystems.1").find("routers"), std::string::npos);
    EXPECT_EQ(entryOf(system.netManager, "system.levels"), "");

    // The partitions the failed chain left unread are not asked for ahead of the new list.
    system.requestSubsystemList(reply);
    ASSERT_TRUE(waitUntil([&] { return reply->received().size() == 2; }, chainLimit));
    EXPECT_EQ(reply->received().back(), "partition locked");
    Texts twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    EXPECT_EQ(system.sim.receivedTexts(), twice);
}

using ChainReplies = ConfLink;

// Replies that the simulator never sends: single list lines, short and long mnemonics,
// unreadable numbers, other interface types and replies on the direct link.
TEST_F(ChainReplies, AreReadWithTheirDefaultsAndOnlyFromTheMainLink)
{
    auto reply = std::make_shared<RecordingCommand>();
    auto answer = [&](const std::string& name, const std::string& body, Interface* on) {
        protocol->handleData(withNul("to=" + std::string(ownAddress) + "\nfrom=corvanet@01\nmsg=" + name + "\n" + body),
                             on);
    };
    auto sent = [&](const std::string& name, const std::string& body) {
        return withNul("to=*\nfrom=" + std::string(ownAddress) + "\nmsg=" + name + "\n" + body);
    };
    protocol->requestSubsystemList(reply);
    EXPECT_EQ(mainPeer.receiveMessage(), sent("subsystem list get", ""));

    answer("subsystem list get", "subsystem=9\n", direct());
    answer("subsystem list get", "subsystem=4\n", mainLink.get());
    EXPECT_EQ(mainPeer.receiveMessage(), sent("subsystem get", "subsystem=4\n"));
    answer("subsystem get", "subsystem=4\nuser=7\n", direct());
    EXPECT_FALSE(tree().contains("system.subsystems.4"));
    answer("subsystem get", "subsystem=4\ninterface_type=serial\nuser=x1\nrouter1=10.0.0.1:4381\n", mainLink.get());
    EXPECT_EQ(tree().getOr("system.subsystems.4.user", ""), "3");
    EXPECT_FALSE(tree().contains("system.subsystems.4.router1"));
    EXPECT_EQ(mainPeer.receiveMessage(), sent("partition list get", ""));

    answer("partition list get", "partition=A\n", mainLink.get());
    EXPECT_EQ(mainPeer.receiveMessage(), sent("partition get", "partition=A\n"));
    answer("partition get", "partition=A\nsubsystem=4\nrouterno=2\npid=5\nlevelno=8\nlevelactive=yes\n", mainLink.get());
    EXPECT_EQ(tree().getOr("system.subsystems.4.routers.2.partitions.5.levelactive", ""), "false");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("mnemonics get", "levelno=8\ndirection=input\n"));

    answer("mnemonics get", "levelno=8\ndirection=input\ntext=3;Cam 3\ntext=4;a;b;c;d;e\n", mainLink.get());
    EXPECT_EQ(entryOf(netManager, "system.subsystems.4.routers.2.inputs"),
              "3.name=Cam 3 3.alias= 3.description= 3.icon= 4.name=a 4.alias=b 4.description=c 4.icon=d");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("mnemonics get", "levelno=8\ndirection=output\n"));
    answer("mnemonics get", "levelno=8\ndirection=output\n", direct());
    EXPECT_TRUE(reply->received().empty());
    answer("mnemonics get", "levelno=8\ndirection=output\n", mainLink.get());
    EXPECT_EQ(reply->received(), Texts{""});
}
