#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

namespace {

using DevicePush = ConfLink;

const std::string routerFields = "routerA1=\nrouterB1=\nrouterC1=\nrouterD1=\n";
const std::string otherPanelFields =
    "routerA2=\nrouterA3=\nrouterB1=\nrouterB2=\nrouterB3=\nrouterC1=\nrouterC2=\n"
    "routerC3=\nrouterD1=\nrouterD2=\nrouterD3=\n";
const std::string screenSettings = "ip=1.2.3.4\nnetmask=x\ngateway=y\nhostname=z\n";

void putMember(SystemTree& tree, const std::string& mac, const std::string& system, bool router, bool panel)
{
    const std::string device = "devices." + mac + ".";
    tree.put(device + "type", "tessora");
    tree.put(device + "system_name", system);
    tree.put(device + "system_description", system.empty() ? "" : "main studio");
    tree.put(device + "ip_settings.ip_address", "10.1.2.40");
    tree.put(device + "ip_settings.subnet_mask", "255.255.0.0");
    tree.put(device + "ip_settings.default_gateway", "10.1.0.1");
    tree.put(device + "ip_settings.hostname", "tr-" + mac);
    if (router)
        tree.put(device + "router.inputs", 16);
    if (panel)
        tree.put(device + "panel.buttons", 40);
}

}  // namespace

TEST_F(DevicePush, RouterSettingsTellRoutersAndPanelsTheirMembership)
{
    tree().put("corvanet.ip_settings.ip_address", "10.1.2.3");
    putMember(tree(), "01", "studio", true, false);
    putMember(tree(), "02", "studio", true, true);
    putMember(tree(), "03", "studio", false, true);
    putMember(tree(), "04", "", false, true);
    putMember(tree(), "05", "studio", false, false);
    const std::string studio = "system_name=studio\nsystem_description=main studio\n";
    const std::string network = "bootprotocol=static\nip=10.1.2.40\nnetmask=255.255.0.0\ngateway=10.1.0.1\n";
    const struct {
        const char* mac;
        bool withNetwork;
        std::string body;
    } cases[] = {
        {"01", false, studio + routerFields},
        {"02", true, studio + routerFields + network + "hostname=tr-02\n"},
        {"03", false, studio + "routerA1=10.1.2.3:4381\n" + otherPanelFields},
        {"04", true,
         "system_name=\nsystem_description=\nrouterA1=\n" + otherPanelFields + network + "hostname=tr-04\n"},
        {"05", true, studio + network + "hostname=tr-05\n"},
        {"unknown", false, "system_name=\nsystem_description=\n"},
    };
    for (const auto& c : cases) {
        protocol->sendRouterSettings(c.mac, c.withNetwork);
        EXPECT_EQ(directSent(), sent("tessora@" + std::string(c.mac), "device set", c.body)) << c.mac;
    }
    // Without an address of this box the panel is pointed at the port alone.
    tree().put("corvanet.ip_settings.ip_address", "");
    protocol->sendRouterSettings("03", false);
    EXPECT_EQ(directSent(), sent("tessora@03", "device set", studio + "routerA1=:4381\n" + otherPanelFields));
}

TEST_F(DevicePush, PartitionIsSetWithItsMnemonicsOrWithdrawnAndTheDeviceSearchEnds)
{
    auto devices = searchDevices();
    const std::string router = "system.subsystems.2.routers.3.";
    tree().put(router + "partitions.0.levelname", "Video");
    tree().put(router + "partitions.1.levelno", "8");
    tree().put(router + "inputs.0.name", "IN001");
    tree().put(router + "inputs.1.name", "CAM 2");
    tree().put(router + "inputs.1.alias", "C2");
    tree().put(router + "inputs.1.icon", "cam.png");
    const std::string partition = sent("*", "partition set", "subsystem=2\nrouterno=3\npid=0\nlevelname=Video\n");

    // Without outputs no mnemonics follow; without a level number they are of level 0.
    protocol->sendPartition("2", "3", "0");
    tree().put(router + "outputs.0.description", "monitor");
    protocol->sendPartition("2", "3", "0");
    protocol->sendPartition("2", "3", "5");
    for (const std::string& message :
         {partition, partition,
          sent("*", "mnemonics set", "levelno=0\ndirection=input\ntext=0;IN001;;;\ntext=1;CAM 2;C2;;cam.png\n"),
          sent("*", "mnemonics set", "levelno=0\ndirection=output\ntext=0;;;monitor;\n"),
          sent("*", "partition reset", "subsystem=2\nrouterno=3\npid=5\n")})
        EXPECT_EQ(mainSent(), message);
    receive(deviceReply("kpscreen@0A", screenSettings), direct());
    EXPECT_TRUE(devices->received().empty());
}

// A send that finds the main link down forgets the system, and the push goes on from what the
// tree holds after each send: ports looked up once "partition set" has gone, outputs once the
// inputs have, and the output text sent whatever the input's send did.
TEST_F(DevicePush, PartitionPushLooksThePortsUpAfterEachSend)
{
    const std::string router = "system.subsystems.2.routers.3.";
    auto putPartition = [&] {
        for (auto [key, value] : {std::pair{"partitions.0.levelno", "4"}, {"inputs.0.name", "IN"}, {"outputs.0.name", "OUT"}})
            tree().put(router + key, value);
    };
    const std::string partitionSet = sent("*", "partition set", "subsystem=2\nrouterno=3\npid=0\nlevelno=4\n");
    auto pushWith = [&](std::deque<bool> connectedAnswers) {
        putPartition();
        mainLink->answerNext(std::move(connectedAnswers));
        protocol->sendPartition("2", "3", "0");
    };

    // Down before "partition set": it goes after the reconnect, and the ports are gone.
    pushWith({false, true});
    protocol->sendMessage("next");
    EXPECT_EQ(mainSent(), partitionSet);
    EXPECT_EQ(mainSent(), sent("*", "next"));
    EXPECT_FALSE(tree().contains("system"));

    // Down at the input text, which was built before: the output text has no ports left.
    pushWith({true, false, true, true});
    EXPECT_EQ(mainSent(), partitionSet);
    EXPECT_EQ(mainSent(), sent("*", "mnemonics set", "levelno=4\ndirection=input\ntext=0;IN;;;\n"));
    EXPECT_EQ(mainSent(), sent("*", "mnemonics set", "levelno=4\ndirection=output\n"));

    // Down from the input text on, for good: both texts report the failure.
    auto reply = std::make_shared<RecordingCommand>();
    protocol->requestSystemDevices(reply);
    ASSERT_FALSE(mainSent().empty());
    pushWith({true, false, false, false, false});
    EXPECT_EQ(mainSent(), partitionSet);
    EXPECT_EQ(reply->received(), Texts(2, ConfClientProtocol::notConnectedText));
}
