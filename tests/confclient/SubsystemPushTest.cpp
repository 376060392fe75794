#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

#include <cstdio>
#include <cstring>

namespace {

using SubsystemPush = ConfLink;

std::string ownSubsystem(const std::string& description, const std::string& protocolName)
{
    return ConfLink::sent("*", "subsystem set", ownSubsystemBody(description, protocolName));
}

// The "text=" lines of ports 0.. named by each format printed with 1..count in turn (a format
// of two numbers: group and channel 1..8 each), then the extra names.
std::string portLines(std::initializer_list<std::pair<const char*, int>> series, const Texts& extra = {})
{
    Texts names;
    char name[32];
    for (const auto& [format, count] : series) {
        const bool grouped = std::strchr(std::strchr(format, '%') + 1, '%') != nullptr;
        for (int n = 1; n <= count; ++n) {
            std::snprintf(name, sizeof name, format, grouped ? (n - 1) / 8 + 1 : n, (n - 1) % 8 + 1);
            names.push_back(name);
        }
    }
    names.insert(names.end(), extra.begin(), extra.end());
    std::string lines;
    for (std::size_t i = 0; i < names.size(); ++i)
        lines += "text=" + std::to_string(i) + ";" + names[i] + ";;;\n";
    return lines;
}

void putModules(SystemTree& tree, const Texts& names)
{
    tree.put("corvanet.box", "trq5");
    for (std::size_t i = 0; i < names.size(); ++i)
        tree.put("corvanet.modules." + std::to_string(i) + ".name", names[i]);
}

std::string partitionSet(const std::string& router, const std::string& partition, const std::string& description,
                         const std::string& format, int inputs, int outputs)
{
    return ConfLink::sent("*", "partition set",
                          "subsystem=0\nrouterno=" + router + "\npid=" + partition + "\nlevelno=" + router +
                              "\nlevelname=Level " + router + "\nlevelalias=\nleveldescription=" + description +
                              "\nlevelactive=true\nrouterformat=" + format + "\nphysical_in=0-" +
                              std::to_string(inputs - 1) + "\nphysical_out=0-" + std::to_string(outputs - 1) + "\n");
}

std::string mnemonics(const std::string& level, const std::string& direction, const std::string& lines)
{
    return ConfLink::sent("*", "mnemonics set", "levelno=" + level + "\ndirection=" + direction + "\n" + lines);
}

}  // namespace

TEST_F(SubsystemPush, BoxVariantsDescribeSubsystemZero)
{
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Corvanet KD-RTN", "none"));
    tree().put("corvanet.box", "lr");
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Corvanet BRIX", "lumenrack"));
    tree().put("corvanet.box", "kbox");
    tree().put("corvanet.modules.0.name", "TRQ5-32x32");
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Corvanet KD-RTN", "none"));

    // A Q5 box without modules it knows has no internal routers.
    tree().put("corvanet.box", "trq5");
    tree().put("corvanet.modules.0.name", "TRQ5-GPIO");
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Tessora Q5", "tessora_q5"));
    tree().root().get_child("corvanet").erase("modules");
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Tessora Q5", "tessora_q5"));
    protocol->sendMessage("marker");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "marker"));
    EXPECT_FALSE(tree().contains("system"));
}

TEST_F(SubsystemPush, TessoraQ5WithMatrixAndProcessingPushesVideoThenAudioRouter)
{
    putModules(tree(), {"TRQ5-PROC", "TRQ5-32x32"});
    tree().put("system.subsystems.0.routers.1.inputs.0.alias", "CAM");
    tree().put("system.subsystems.0.routers.1.inputs.0.name", "old name");
    protocol->pushSystemConfiguration();

    std::string videoInputs = portLines({{"IN%03d", 32}, {"PROC%03d", 8}});
    // A mnemonic read back earlier stays beside the new name.
    videoInputs.replace(0, std::string("text=0;IN001;;;").size(), "text=0;IN001;CAM;;");
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Tessora Q5", "tessora_q5"));
    EXPECT_EQ(mainPeer.receiveMessage(), partitionSet("1", "0", "Video router with processing", "Video", 40, 40));
    EXPECT_EQ(mainPeer.receiveMessage(), mnemonics("1", "input", videoInputs));
    EXPECT_EQ(mainPeer.receiveMessage(), mnemonics("1", "output", portLines({{"OUT%03d", 32}, {"PROC%03d", 8}})));
    EXPECT_EQ(mainPeer.receiveMessage(), partitionSet("101", "1", "Audio router", "Audio", 98, 96));
    EXPECT_EQ(mainPeer.receiveMessage(),
              mnemonics("101", "input", portLines({{"DEMB%02d-%03d", 64}, {"AES-IN%03d", 32}}, {"1 kHz", "Mute"})));
    EXPECT_EQ(mainPeer.receiveMessage(),
              mnemonics("101", "output", portLines({{"EMB%02d-%03d", 64}, {"AES-OUT%03d", 32}})));

    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.1.routersize", ""), "40x40");
    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.1.routertype", ""), "Video");
    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.101.routersize", ""), "98x96");
    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.101.outputs.95.name", ""), "AES-OUT032");
    EXPECT_FALSE(tree().contains("system.subsystems.0.routers.101.outputs.96"));
    EXPECT_EQ(leaves(tree(), "system.levels"),
              "1.name=Level 1 1.alias= 1.description=Video router with processing 1.subsystem=0 1.router=1 "
              "1.partition=0 101.name=Level 101 101.alias= 101.description=Audio router 101.subsystem=0 "
              "101.router=101 101.partition=1");
}

TEST_F(SubsystemPush, LastMatrixModuleSetsTheVideoRouterSize)
{
    putModules(tree(), {"TRQ5-32x32", "KD-IO8", "TRQ5-64x64"});
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Tessora Q5", "tessora_q5"));
    EXPECT_EQ(mainPeer.receiveMessage(), partitionSet("1", "0", "Video router with processing", "Video", 80, 80));
    EXPECT_EQ(mainPeer.receiveMessage(), mnemonics("1", "input", portLines({{"IN%03d", 64}, {"PROC%03d", 16}})));
    EXPECT_EQ(mainPeer.receiveMessage(), mnemonics("1", "output", portLines({{"OUT%03d", 64}, {"PROC%03d", 16}})));
    protocol->sendMessage("marker");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "marker"));
    EXPECT_FALSE(tree().contains("system.subsystems.0.routers.101"));
    EXPECT_FALSE(tree().contains("system.levels.101"));
}

TEST_F(SubsystemPush, SubsystemsAreSentFromTheTreeOrWithdrawn)
{
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    protocol->sendSubsystem("3");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "subsystem reset", "subsystem=3\n"));

    const std::string node = "system.subsystems.4.";
    tree().put(node + "user", 5);
    tree().put(node + "loop_mode", true);
    tree().put(node + "description", "tr-video-1");
    tree().put(node + "protocol_name", "tessora");
    tree().put(node + "router1", "10.0.0.31:4381");
    protocol->sendSubsystem("4");
    EXPECT_EQ(mainPeer.receiveMessage(),
              sent("*", "subsystem set",
                   "subsystem=4\ncascade_mode=0\ncommand_echo=false\ndescription=tr-video-1\ninterface_type=\n"
                   "local_lock=0\nlocal_mnemonics=0\nloop_mode=false\nprotocol_name=tessora\nprotocol_type=\n"
                   "router1=10.0.0.31:4381\nuse_external_port=0\nuser=3\n"));
    receive(deviceReply("kpscreen@0A", "ip=1.2.3.4\nnetmask=x\ngateway=y\nhostname=z\n"), direct());
    EXPECT_TRUE(devices->received().empty());
}
