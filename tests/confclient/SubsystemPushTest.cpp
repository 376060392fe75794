#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

#include <cstdio>

namespace {

using SubsystemPush = ConfLink;

std::string sent(const std::string& name, const std::string& body = "")
{
    return withNul("to=*\nfrom=kip@00:11:22:33:44:55\nmsg=" + name + "\n" + body);
}

std::string subsystemBody(const std::string& head, const std::string& protocolName, const std::string& tail = "")
{
    return head + "local_lock=0\nlocal_mnemonics=0\nloop_mode=false\nprotocol_name=" + protocolName + tail;
}

std::string ownSubsystem(const std::string& description, const std::string& protocolName)
{
    return sent("subsystem set",
                subsystemBody("subsystem=0\ncascade_mode=0\ncommand_echo=false\ndescription=" + description +
                                  "\ninterface_type=internal\n",
                              protocolName, "\nprotocol_type=internal\nuse_external_port=0\nuser=3\n"));
}

template <class... Numbers>
std::string printed(const char* format, Numbers... numbers)
{
    char text[32];
    std::snprintf(text, sizeof text, format, numbers...);
    return text;
}

// "text=" lines for ports 0.. named as listed, without mnemonics beyond the name.
std::string portLines(const std::vector<std::string>& names)
{
    std::string lines;
    for (std::size_t i = 0; i < names.size(); ++i)
        lines += "text=" + std::to_string(i) + ";" + names[i] + ";;;\n";
    return lines;
}

std::vector<std::string> series(const char* format, int count)
{
    std::vector<std::string> names;
    for (int n = 1; n <= count; ++n)
        names.push_back(printed(format, n));
    return names;
}

std::vector<std::string> joined(std::vector<std::string> first, const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<std::string> embedded(const char* format)
{
    std::vector<std::string> names;
    for (int group = 1; group <= 8; ++group)
        for (int channel = 1; channel <= 8; ++channel)
            names.push_back(printed(format, group, channel));
    return names;
}

void putModules(SystemTree& tree, const std::vector<std::string>& names)
{
    tree.put("corvanet.box", "trq5");
    for (std::size_t i = 0; i < names.size(); ++i)
        tree.put("corvanet.modules." + std::to_string(i) + ".name", names[i]);
}

std::string partitionSet(const std::string& router, const std::string& partition, const std::string& level,
                         const std::string& description, const std::string& format, int inputs, int outputs)
{
    return sent("partition set", "subsystem=0\nrouterno=" + router + "\npid=" + partition + "\nlevelno=" + level +
                                     "\nlevelname=Level " + level + "\nlevelalias=\nleveldescription=" + description +
                                     "\nlevelactive=true\nrouterformat=" + format + "\nphysical_in=0-" +
                                     std::to_string(inputs - 1) + "\nphysical_out=0-" + std::to_string(outputs - 1) +
                                     "\n");
}

std::string mnemonics(const std::string& level, const std::string& direction, const std::string& lines)
{
    return sent("mnemonics set", "levelno=" + level + "\ndirection=" + direction + "\n" + lines);
}

}  // namespace

TEST_F(SubsystemPush, BoxVariantsDescribeSubsystemZero)
{
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Corvanet KD-RTN", "none"));
    tree().put("corvanet.box", "lr");
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(),
              sent("subsystem set", "subsystem=0\ncascade_mode=0\ncommand_echo=false\ndescription=Corvanet BRIX\n"
                                    "interface_type=internal\nlocal_lock=0\nlocal_mnemonics=0\nloop_mode=false\n"
                                    "protocol_name=lumenrack\nprotocol_type=internal\nuse_external_port=0\nuser=3\n"));
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
    EXPECT_EQ(mainPeer.receiveMessage(), sent("marker"));
    EXPECT_FALSE(tree().contains("system"));
}

TEST_F(SubsystemPush, TessoraQ5WithMatrixAndProcessingPushesVideoThenAudioRouter)
{
    putModules(tree(), {"TRQ5-PROC", "TRQ5-32x32"});
    tree().put("system.subsystems.0.routers.1.inputs.0.alias", "CAM");
    tree().put("system.subsystems.0.routers.1.inputs.0.name", "old name");
    protocol->pushSystemConfiguration();

    std::vector<std::string> videoInputs = joined(series("IN%03d", 32), series("PROC%03d", 8));
    std::string videoInputLines = portLines(videoInputs);
    // A mnemonic read back earlier stays beside the new name.
    videoInputLines.replace(0, std::string("text=0;IN001;;;").size(), "text=0;IN001;CAM;;");

    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Tessora Q5", "tessora_q5"));
    EXPECT_EQ(mainPeer.receiveMessage(), partitionSet("1", "0", "1", "Video router with processing", "Video", 40, 40));
    EXPECT_EQ(mainPeer.receiveMessage(), mnemonics("1", "input", videoInputLines));
    EXPECT_EQ(mainPeer.receiveMessage(),
              mnemonics("1", "output", portLines(joined(series("OUT%03d", 32), series("PROC%03d", 8)))));
    EXPECT_EQ(mainPeer.receiveMessage(), partitionSet("101", "1", "101", "Audio router", "Audio", 98, 96));
    std::vector<std::string> audioInputs = joined(embedded("DEMB%02d-%03d"), series("AES-IN%03d", 32));
    audioInputs.push_back("1 kHz");
    audioInputs.push_back("Mute");
    EXPECT_EQ(mainPeer.receiveMessage(), mnemonics("101", "input", portLines(audioInputs)));
    EXPECT_EQ(mainPeer.receiveMessage(),
              mnemonics("101", "output", portLines(joined(embedded("EMB%02d-%03d"), series("AES-OUT%03d", 32)))));

    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.1.routersize", ""), "40x40");
    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.1.routertype", ""), "Video");
    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.101.routersize", ""), "98x96");
    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.101.outputs.95.name", ""), "AES-OUT032");
    EXPECT_FALSE(tree().contains("system.subsystems.0.routers.101.outputs.96"));
    std::string levels;
    for (const auto& level : *tree().findChild("system.levels"))
        for (const auto& field : level.second)
            levels += level.first + "." + field.first + "=" + field.second.data() + ";";
    EXPECT_EQ(levels, "1.name=Level 1;1.alias=;1.description=Video router with processing;1.subsystem=0;1.router=1;"
                      "1.partition=0;101.name=Level 101;101.alias=;101.description=Audio router;101.subsystem=0;"
                      "101.router=101;101.partition=1;");
}

TEST_F(SubsystemPush, LastMatrixModuleSetsTheVideoRouterSize)
{
    putModules(tree(), {"TRQ5-32x32", "KD-IO8", "TRQ5-64x64"});
    protocol->pushSystemConfiguration();
    EXPECT_EQ(mainPeer.receiveMessage(), ownSubsystem("Tessora Q5", "tessora_q5"));
    EXPECT_EQ(mainPeer.receiveMessage(), partitionSet("1", "0", "1", "Video router with processing", "Video", 80, 80));
    EXPECT_EQ(mainPeer.receiveMessage(),
              mnemonics("1", "input", portLines(joined(series("IN%03d", 64), series("PROC%03d", 16)))));
    EXPECT_EQ(mainPeer.receiveMessage(),
              mnemonics("1", "output", portLines(joined(series("OUT%03d", 64), series("PROC%03d", 16)))));
    protocol->sendMessage("marker");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("marker"));
    EXPECT_FALSE(tree().contains("system.subsystems.0.routers.101"));
    EXPECT_FALSE(tree().contains("system.levels.101"));
}

TEST_F(SubsystemPush, SubsystemsAreSentFromTheTreeOrWithdrawn)
{
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    directPeer.receiveMessage();

    protocol->sendSubsystem("3");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("subsystem reset", "subsystem=3\n"));

    const std::string node = "system.subsystems.4.";
    tree().put(node + "user", 5);
    tree().put(node + "loop_mode", true);
    tree().put(node + "description", "tr-video-1");
    tree().put(node + "protocol_name", "tessora");
    tree().put(node + "router1", "10.0.0.31:4381");
    protocol->sendSubsystem("4");
    EXPECT_EQ(mainPeer.receiveMessage(),
              sent("subsystem set", subsystemBody("subsystem=4\ncascade_mode=0\ncommand_echo=false\n"
                                                  "description=tr-video-1\ninterface_type=\n",
                                                  "tessora", "\nprotocol_type=\nrouter1=10.0.0.31:4381\n"
                                                             "use_external_port=0\nuser=3\n")));

    protocol->handleData(deviceReply("kpscreen@0A", "ip=1.2.3.4\nnetmask=x\ngateway=y\nhostname=z\n"), direct());
    EXPECT_TRUE(devices->received().empty());
}
