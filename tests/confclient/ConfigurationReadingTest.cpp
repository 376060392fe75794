#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

namespace {

struct ConfigurationReadingReplies : ConfLink {
    std::shared_ptr<RecordingCommand> done = std::make_shared<RecordingCommand>();

    void answer(const std::string& name, const std::string& body, Interface* on = nullptr)
    {
        receive(reply("corvanet@01", name, body), on ? on : mainLink.get());
    }
    // A chain with no subsystems, up to its partition list.
    void startChain(const std::string& partitions)
    {
        protocol->requestSubsystemList(done);
        EXPECT_EQ(mainSent(), sent("*", "subsystem list get"));
        answer("subsystem list get", "");
        EXPECT_EQ(mainSent(), sent("*", "partition list get"));
        answer("partition list get", partitions);
    }
};

}  // namespace

// Replies on the direct link are ignored; missing or unreadable values take their defaults.
TEST_F(ConfigurationReadingReplies, AreReadWithTheirDefaultsAndOnlyFromTheMainLink)
{
    // Port names that come before any partition are kept under the placeholder router.
    answer("mnemonics get", "levelno=1\ndirection=output\ntext=0;OUT\n");
    EXPECT_EQ(tree().getOr("system.subsystems.-1.routers.-1.outputs.0.name", ""), "OUT");

    protocol->requestSubsystemList(done);
    EXPECT_EQ(mainSent(), sent("*", "subsystem list get"));
    answer("subsystem list get", "subsystem=9\n", direct());
    answer("subsystem list get", "subsystem=4\nsubsystem=5\n");
    EXPECT_EQ(mainSent(), sent("*", "subsystem get", "subsystem=4\n"));
    answer("subsystem get", "subsystem=4\nuser=7\n", direct());
    EXPECT_FALSE(tree().contains("system.subsystems.4"));
    answer("subsystem get", "subsystem=4\ninterface_type=serial\nuser=x1\nrouter1=10.0.0.1:4381\n");
    EXPECT_EQ(leaves(tree(), "system.subsystems.4"), "interface_type=serial protocol_name= protocol_type=none user=3");
    EXPECT_EQ(mainSent(), sent("*", "subsystem get", "subsystem=5\n"));
    // Only network subsystems get router addresses, up to the first missing one.
    answer("subsystem get", "subsystem=5\ninterface_type=tcpip\nprotocol_name=tessora\nprotocol_type=native\n"
                            "user=12\nrouter1=10.0.0.11:4381\nrouter2=10.0.0.12:4381\nrouter4=10.0.0.14:4381\n");
    EXPECT_EQ(leaves(tree(), "system.subsystems.5"), "interface_type=tcpip protocol_name=tessora "
                                                     "protocol_type=native user=12 router1=10.0.0.11:4381 "
                                                     "router2=10.0.0.12:4381");
    EXPECT_EQ(mainSent(), sent("*", "partition list get"));

    answer("partition list get", "partition=A\n");
    EXPECT_EQ(mainSent(), sent("*", "partition get", "partition=A\n"));
    answer("partition get", "partition=A\nsubsystem=4\nrouterno=2\npid=5\nlevelno=8\nlevelactive=yes\n");
    EXPECT_EQ(leaves(tree(), "system.subsystems.4.routers.2"),
              "routerformat= routersize=0x0 routertype= partitions.5.levelno=8 partitions.5.levelname= "
              "partitions.5.levelalias= partitions.5.leveldescription= partitions.5.levelactive=false "
              "partitions.5.physical_in= partitions.5.physical_out=");
    EXPECT_FALSE(tree().contains("system.levels"));
    EXPECT_EQ(mainSent(), sent("*", "mnemonics get", "levelno=8\ndirection=input\n"));

    answer("mnemonics get", "levelno=8\ndirection=input\ntext=3;Cam 3\ntext=4;a;b;c;d;e\n");
    EXPECT_EQ(leaves(tree(), "system.subsystems.4.routers.2.inputs"),
              "3.name=Cam 3 3.alias= 3.description= 3.icon= 4.name=a 4.alias=b 4.description=c 4.icon=d");
    EXPECT_EQ(mainSent(), sent("*", "mnemonics get", "levelno=8\ndirection=output\n"));
    answer("mnemonics get", "levelno=8\ndirection=output\n", direct());
    EXPECT_TRUE(done->received().empty());
    answer("mnemonics get", "levelno=8\ndirection=output\n");
    EXPECT_EQ(done->received(), Texts{""});
}

TEST_F(ConfigurationReadingReplies, StatusEndsTheChainAndARetryReadsOnlyTheNewList)
{
    startChain("partition=A\npartition=B\n");
    EXPECT_EQ(mainSent(), sent("*", "partition get", "partition=A\n"));
    answer("partition get", "partition=A\nstatus=partition locked\n");
    EXPECT_EQ(done->received(), Texts{"partition locked"});
    // B, left unread, is not asked for ahead of the new list.
    startChain("partition=C\n");
    EXPECT_EQ(mainSent(), sent("*", "partition get", "partition=C\n"));
    answer("partition get", "partition=C\nsubsystem=1\nrouterno=3\npid=0\nlevelno=1\nlevelname=Video\n"
                            "levelalias=V\nleveldescription=Studio video\nlevelactive=true\n");
    EXPECT_EQ(leaves(tree(), "system.levels"), "1.name=Video 1.alias=V 1.description=Studio video 1.subsystem=1 "
                                               "1.router=3 1.partition=0");
    answer("mnemonics get", "levelno=1\ndirection=input\n");
    answer("mnemonics get", "levelno=1\ndirection=output\n");
    EXPECT_EQ(done->received(), (Texts{"partition locked", ""}));
    answer("partition list get", "status=busy\n");
    EXPECT_EQ(done->received(), (Texts{"partition locked", "", "busy"}));
}
