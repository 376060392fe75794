#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "support/SimulatedNetwork.h"

namespace {

constexpr std::chrono::seconds chainLimit(10);

// A network manager connected to the simulator holding tests/data/network-levels.json.
struct SimulatedSystem : SimulatedNetwork {
    explicit SimulatedSystem(const Texts& faults = {}) : SimulatedNetwork("tests/data/network-levels.json", faults) {}

    // Starts the chain and returns its outcomes once `count` have come.
    Texts readChain(std::shared_ptr<RecordingCommand> reply, std::size_t count)
    {
        withProtocol([&](ConfClientProtocol& protocol) { protocol.requestSubsystemList(reply); });
        EXPECT_TRUE(reply->waitFor(count, chainLimit));
        return reply->received();
    }
};

// "prefix<key>=<value>" for each key, the values separated by ';'.
std::string fieldsOf(const std::string& prefix, const Texts& keys, const std::string& values)
{
    std::string out;
    std::string::size_type at = 0;
    for (const std::string& key : keys) {
        const std::string::size_type end = std::min(values.find(';', at), values.size());
        out += (out.empty() ? "" : " ") + prefix + key + "=" + values.substr(at, end - at);
        at = std::min(end + 1, values.size());
    }
    return out;
}
std::string port(const std::string& prefix, const std::string& values)
{
    return fieldsOf(prefix, {"name", "alias", "description", "icon"}, values);
}
std::string partition(const std::string& prefix, const std::string& values)
{
    return fieldsOf(
        prefix,
        {"levelno", "levelname", "levelalias", "leveldescription", "levelactive", "physical_in", "physical_out"},
        values);
}

// What the chain asks for: the subsystems, the partition list, then each partition ("id/level")
// with the mnemonics of its level (none without a level).
Texts chainRequests(const Texts& partitions)
{
    Texts texts = {fromThisMachine("*", "subsystem list get")};
    for (const char* subsystem : {"0", "1", "2"})
        texts.push_back(fromThisMachine("*", "subsystem get", "subsystem=" + std::string(subsystem) + "\n"));
    texts.push_back(fromThisMachine("*", "partition list get"));
    for (const std::string& partition : partitions) {
        const std::string::size_type slash = partition.find('/');
        texts.push_back(fromThisMachine("*", "partition get", "partition=" + partition.substr(0, slash) + "\n"));
        if (slash != std::string::npos)
            for (const char* direction : {"input", "output"})
                texts.push_back(
                    fromThisMachine("*", "mnemonics get",
                                    "levelno=" + partition.substr(slash + 1) + "\ndirection=" + direction + "\n"));
    }
    return texts;
}

}  // namespace

TEST(ConfigurationReading, ChainCopiesSubsystemsPartitionsAndMnemonicsFromTheSimulator)
{
    SimulatedSystem system;
    ASSERT_TRUE(system.connected);
    EXPECT_EQ(system.readChain(std::make_shared<RecordingCommand>(), 1), Texts{""});

    EXPECT_EQ(system.sim.receivedTexts(), chainRequests({"1:1:0/1", "2:103:0/2", "2:103:1/3", "2:104:0/0"}));

    // Only network subsystems get router addresses, up to the first missing one.
    EXPECT_EQ(system.leavesOf("system.subsystems.0"),
              "interface_type=internal protocol_name=none protocol_type=internal user=3");
    EXPECT_EQ(
        system.leavesOf("system.subsystems.1"),
        "interface_type=tcpip protocol_name=tessora protocol_type=native user=12 router1=10.20.0.11:4381 "
        "router2=10.20.0.12:4381 routers.1.routerformat=video routers.1.routersize=4x2 routers.1.routertype=video " +
            partition("routers.1.partitions.0.", "1;Video;V;Studio video;true;0-3;0-1") + " " +
            port("routers.1.inputs.0.", "CAM 1;C1;Camera one;cam.png") + " " + port("routers.1.inputs.1.", "CAM 2;;;") +
            " " + port("routers.1.inputs.2.", "VTR 1;V1;;") + " " + port("routers.1.outputs.0.", "MON 1;;;") + " " +
            port("routers.1.outputs.1.", "TX 1;;Transmission;"));
    // Defaults fill what the replies leave out; an inactive partition forms no level.
    EXPECT_EQ(system.leavesOf("system.subsystems.2"),
              "interface_type=tcpip protocol_name=tessora protocol_type=none user=3 router1=10.20.0.21:4381 "
              "routers.103.routerformat=audio routers.103.routersize=0x0 routers.103.routertype= " +
                  partition("routers.103.partitions.0.", "2;Audio;;;true;0-0;0-1") + " " +
                  partition("routers.103.partitions.1.", "3;Spare;;;false;;") + " " +
                  port("routers.103.inputs.0.", "MIC 1;;;") + " " + port("routers.103.outputs.0.", "MIX 1;;;") + " " +
                  port("routers.103.outputs.1.", "MIX 2;;;") +
                  " routers.104.routerformat= routers.104.routersize=0x0 routers.104.routertype= " +
                  partition("routers.104.partitions.0.", "0;;;;false;0-1;"));
    EXPECT_EQ(system.leavesOf("system.levels"),
              "1.name=Video 1.alias=V 1.description=Studio video 1.subsystem=1 1.router=1 1.partition=0 "
              "2.name=Audio 2.alias= 2.description= 2.subsystem=2 2.router=103 2.partition=0");
}

TEST(ConfigurationReading, FailingPartitionStatusEndsTheChainAndARetryStartsAfresh)
{
    SimulatedSystem system({"--fail", "partition get=partition locked"});
    ASSERT_TRUE(system.connected);
    auto reply = std::make_shared<RecordingCommand>();
    EXPECT_EQ(system.readChain(reply, 1), Texts{"partition locked"});
    const Texts expected = chainRequests({"1:1:0"});
    EXPECT_EQ(system.sim.receivedTexts(), expected);
    EXPECT_EQ(system.leavesOf("system.subsystems.2"),
              "interface_type=tcpip protocol_name=tessora protocol_type=none user=3 router1=10.20.0.21:4381");
    EXPECT_EQ(system.leavesOf("system.subsystems.1").find("routers"), std::string::npos);
    EXPECT_EQ(system.leavesOf("system.levels"), "");

    // The partitions the failed chain left unread are not asked for ahead of the new list.
    EXPECT_EQ(system.readChain(reply, 2), (Texts{"partition locked", "partition locked"}));
    Texts twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    EXPECT_EQ(system.sim.receivedTexts(), twice);
}

using ChainReplies = ConfLink;

// Replies that the simulator never sends: single list lines, short and long mnemonics,
// unreadable numbers, other interface types and replies on the direct link.
TEST_F(ChainReplies, AreReadWithTheirDefaultsAndOnlyFromTheMainLink)
{
    auto done = std::make_shared<RecordingCommand>();
    auto answer = [&](const std::string& name, const std::string& body, Interface* on) {
        receive(reply("corvanet@01", name, body), on);
    };
    // Port names that come before any partition are kept under the placeholder router.
    answer("mnemonics get", "levelno=1\ndirection=output\ntext=0;OUT\n", mainLink.get());
    EXPECT_EQ(tree().getOr("system.subsystems.-1.routers.-1.outputs.0.name", ""), "OUT");

    protocol->requestSubsystemList(done);
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "subsystem list get"));

    answer("subsystem list get", "subsystem=9\n", direct());
    answer("subsystem list get", "subsystem=4\n", mainLink.get());
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "subsystem get", "subsystem=4\n"));
    answer("subsystem get", "subsystem=4\nuser=7\n", direct());
    EXPECT_FALSE(tree().contains("system.subsystems.4"));
    answer("subsystem get", "subsystem=4\ninterface_type=serial\nuser=x1\nrouter1=10.0.0.1:4381\n", mainLink.get());
    EXPECT_EQ(tree().getOr("system.subsystems.4.user", ""), "3");
    EXPECT_FALSE(tree().contains("system.subsystems.4.router1"));
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "partition list get"));

    answer("partition list get", "partition=A\n", mainLink.get());
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "partition get", "partition=A\n"));
    answer("partition get", "partition=A\nsubsystem=4\nrouterno=2\npid=5\nlevelno=8\nlevelactive=yes\n",
           mainLink.get());
    EXPECT_EQ(tree().getOr("system.subsystems.4.routers.2.partitions.5.levelactive", ""), "false");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "mnemonics get", "levelno=8\ndirection=input\n"));

    answer("mnemonics get", "levelno=8\ndirection=input\ntext=3;Cam 3\ntext=4;a;b;c;d;e\n", mainLink.get());
    EXPECT_EQ(leaves(tree(), "system.subsystems.4.routers.2.inputs"),
              port("3.", "Cam 3;;;") + " " + port("4.", "a;b;c;d"));
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "mnemonics get", "levelno=8\ndirection=output\n"));
    answer("mnemonics get", "levelno=8\ndirection=output\n", direct());
    EXPECT_TRUE(done->received().empty());
    answer("mnemonics get", "levelno=8\ndirection=output\n", mainLink.get());
    EXPECT_EQ(done->received(), Texts{""});
}
