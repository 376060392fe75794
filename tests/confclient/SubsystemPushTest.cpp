#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

#include <cstdio>

namespace {

using SubsystemPush = ConfLink;

std::string ownSubsystem(const std::string& description, const std::string& protocolName)
{
    return ConfLink::sent("*", "subsystem set", ownSubsystemBody(description, protocolName));
}

// The "text=" lines of `count` ports from `first` on, named prefix001, prefix002, ...
std::string portLines(const char* prefix, int count, int first = 0)
{
    std::string lines;
    char name[32];
    for (int n = 1; n <= count; ++n) {
        std::snprintf(name, sizeof name, "%s%03d", prefix, n);
        lines += "text=" + std::to_string(first + n - 1) + ";" + name + ";;;\n";
    }
    return lines;
}

}  // namespace

// Subsystem 0 alone, unless a Q5 box has modules that make up internal routers.
TEST_F(SubsystemPush, BoxVariantsDescribeSubsystemZero)
{
    const std::vector<Texts> variants = {
        // box, its first module, description, protocol name
        {"", "", "Corvanet KD-RTN", "none"},
        {"lr", "", "Corvanet BRIX", "lumenrack"},
        {"kbox", "TRQ5-32x32", "Corvanet KD-RTN", "none"},
        {"trq5", "TRQ5-GPIO", "Tessora Q5", "tessora_q5"},
    };
    for (const auto& variant : variants) {
        tree().put("corvanet.box", variant[0]);
        tree().root().get_child("corvanet").erase("modules");
        if (!variant[1].empty())
            tree().put("corvanet.modules.0.name", variant[1]);
        protocol->pushSystemConfiguration();
        EXPECT_EQ(mainSent(), ownSubsystem(variant[2], variant[3])) << variant[0];
    }
    protocol->sendMessage("marker");
    EXPECT_EQ(mainSent(), sent("*", "marker"));
    EXPECT_FALSE(tree().contains("system"));
}

// The last matrix module counts; without a processing module there is no audio router.
TEST_F(SubsystemPush, TessoraQ5VideoRouterIsSizedByTheLastMatrixModule)
{
    tree().put("corvanet.box", "trq5");
    tree().put("corvanet.modules.0.name", "TRQ5-32x32");
    tree().put("corvanet.modules.1.name", "KD-IO8");
    tree().put("corvanet.modules.2.name", "TRQ5-64x64");
    // A mnemonic read back earlier stays beside the new name.
    tree().put("system.subsystems.0.routers.1.inputs.0.alias", "CAM");
    tree().put("system.subsystems.0.routers.1.inputs.0.name", "old name");
    protocol->pushSystemConfiguration();

    std::string inputs = portLines("IN", 64) + portLines("PROC", 16, 64);
    inputs.replace(0, std::string("text=0;IN001;;;").size(), "text=0;IN001;CAM;;");
    EXPECT_EQ(mainSent(), ownSubsystem("Tessora Q5", "tessora_q5"));
    EXPECT_EQ(mainSent(),
              sent("*", "partition set",
                   "subsystem=0\nrouterno=1\npid=0\nlevelno=1\nlevelname=Level 1\nlevelalias=\n"
                   "leveldescription=Video router with processing\nlevelactive=true\nrouterformat=Video\n"
                   "physical_in=0-79\nphysical_out=0-79\n"));
    EXPECT_EQ(mainSent(), sent("*", "mnemonics set", "levelno=1\ndirection=input\n" + inputs));
    EXPECT_EQ(mainSent(),
              sent("*", "mnemonics set",
                   "levelno=1\ndirection=output\n" + portLines("OUT", 64) + portLines("PROC", 16, 64)));
    protocol->sendMessage("marker");
    EXPECT_EQ(mainSent(), sent("*", "marker"));

    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.1.routersize", ""), "80x80");
    EXPECT_EQ(tree().getOr("system.subsystems.0.routers.1.routertype", ""), "Video");
    EXPECT_FALSE(tree().contains("system.subsystems.0.routers.101"));
    EXPECT_EQ(leaves(tree(), "system.levels"), "1.name=Level 1 1.alias= 1.description=Video router with processing "
                                               "1.subsystem=0 1.router=1 1.partition=0");
}

TEST_F(SubsystemPush, SubsystemsAreSentFromTheTreeOrWithdrawnAndEndTheDeviceSearch)
{
    auto devices = searchDevices();
    protocol->sendSubsystem("3");
    EXPECT_EQ(mainSent(), sent("*", "subsystem reset", "subsystem=3\n"));

    const std::string node = "system.subsystems.4.";
    tree().put(node + "user", 5);
    tree().put(node + "loop_mode", true);
    tree().put(node + "description", "tr-video-1");
    tree().put(node + "protocol_name", "tessora");
    tree().put(node + "router1", "10.0.0.31:4381");
    protocol->sendSubsystem("4");
    EXPECT_EQ(mainSent(),
              sent("*", "subsystem set",
                   "subsystem=4\ncascade_mode=0\ncommand_echo=false\ndescription=tr-video-1\ninterface_type=\n"
                   "local_lock=0\nlocal_mnemonics=0\nloop_mode=false\nprotocol_name=tessora\nprotocol_type=\n"
                   "router1=10.0.0.31:4381\nuse_external_port=0\nuser=3\n"));
    receive(deviceReply("kpscreen@0A", "ip=1.2.3.4\nnetmask=x\ngateway=y\nhostname=z\n"), direct());
    EXPECT_TRUE(devices->received().empty());
}
