#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

using Texts = std::vector<std::string>;

namespace {

using DevicePush = ConfLink;

std::string sent(const std::string& to, const std::string& name, const std::string& body = "")
{
    return withNul("to=" + to + "\nfrom=kip@00:11:22:33:44:55\nmsg=" + name + "\n" + body);
}

const std::string routerFields = "routerA1=\nrouterB1=\nrouterC1=\nrouterD1=\n";
const std::string otherPanelFields =
    "routerA2=\nrouterA3=\nrouterB1=\nrouterB2=\nrouterB3=\nrouterC1=\nrouterC2=\nrouterC3=\nrouterD1=\nrouterD2=\n"
    "routerD3=\n";
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

// A router with two inputs and one output, its partition 0 forming level 7.
void putPartition(SystemTree& tree, bool withOutputs, bool withLevel)
{
    const std::string router = "system.subsystems.2.routers.3.";
    if (withLevel)
        tree.put(router + "partitions.0.levelno", "7");
    tree.put(router + "partitions.0.levelname", "Video");
    tree.put(router + "partitions.0.levelactive", true);
    tree.put(router + "partitions.0.physical_in", "0-1");
    tree.put(router + "partitions.1.levelno", "8");
    tree.put(router + "inputs.0.name", "IN001");
    tree.put(router + "inputs.1.name", "CAM 2");
    tree.put(router + "inputs.1.alias", "C2");
    tree.put(router + "inputs.1.icon", "cam.png");
    if (withOutputs)
        tree.put(router + "outputs.0.description", "monitor");
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

    protocol->sendRouterSettings("01", false);
    EXPECT_EQ(directPeer.receiveMessage(), sent("tessora@01", "device set", studio + routerFields));
    protocol->sendRouterSettings("02", true);
    EXPECT_EQ(directPeer.receiveMessage(),
              sent("tessora@02", "device set", studio + routerFields + network + "hostname=tr-02\n"));
    protocol->sendRouterSettings("03", false);
    EXPECT_EQ(directPeer.receiveMessage(),
              sent("tessora@03", "device set", studio + "routerA1=10.1.2.3:4381\n" + otherPanelFields));
    protocol->sendRouterSettings("04", true);
    EXPECT_EQ(directPeer.receiveMessage(),
              sent("tessora@04", "device set",
                   "system_name=\nsystem_description=\nrouterA1=\n" + otherPanelFields + network + "hostname=tr-04\n"));
    protocol->sendRouterSettings("05", true);
    EXPECT_EQ(directPeer.receiveMessage(), sent("tessora@05", "device set", studio + network + "hostname=tr-05\n"));
    protocol->sendRouterSettings("unknown", false);
    EXPECT_EQ(directPeer.receiveMessage(), sent("tessora@unknown", "device set", "system_name=\nsystem_description=\n"));

    // Without an address of this box the panel is pointed at the port alone.
    tree().put("corvanet.ip_settings.ip_address", "");
    protocol->sendRouterSettings("03", false);
    EXPECT_EQ(directPeer.receiveMessage(),
              sent("tessora@03", "device set", studio + "routerA1=:4381\n" + otherPanelFields));
}

TEST_F(DevicePush, PartitionIsSetWithItsMnemonicsOrWithdrawn)
{
    putPartition(tree(), true, true);
    protocol->sendPartition("2", "3", "0");
    EXPECT_EQ(mainPeer.receiveMessage(),
              sent("*", "partition set",
                   "subsystem=2\nrouterno=3\npid=0\nlevelno=7\nlevelname=Video\nlevelactive=true\nphysical_in=0-1\n"));
    EXPECT_EQ(mainPeer.receiveMessage(),
              sent("*", "mnemonics set", "levelno=7\ndirection=input\ntext=0;IN001;;;\ntext=1;CAM 2;C2;;cam.png\n"));
    EXPECT_EQ(mainPeer.receiveMessage(),
              sent("*", "mnemonics set", "levelno=7\ndirection=output\ntext=0;;;monitor;\n"));

    protocol->sendPartition("2", "3", "5");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "partition reset", "subsystem=2\nrouterno=3\npid=5\n"));
    protocol->sendMessage("marker");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "marker"));
}

TEST_F(DevicePush, PartitionWithoutOutputsOrLevelAndTheDeviceSearchEnds)
{
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    directPeer.receiveMessage();
    putPartition(tree(), false, false);
    protocol->sendPartition("2", "3", "0");
    EXPECT_EQ(mainPeer.receiveMessage(),
              sent("*", "partition set", "subsystem=2\nrouterno=3\npid=0\nlevelname=Video\nlevelactive=true\nphysical_in=0-1\n"));
    protocol->sendMessage("marker");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "marker"));

    tree().put("system.subsystems.2.routers.3.outputs", "");
    protocol->sendPartition("2", "3", "0");
    mainPeer.receiveMessage();
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "mnemonics set", "levelno=0\ndirection=input\ntext=0;IN001;;;\n"
                                                                    "text=1;CAM 2;C2;;cam.png\n"));
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "mnemonics set", "levelno=0\ndirection=output\n"));

    protocol->handleData(deviceReply("kpscreen@0A", screenSettings), direct());
    EXPECT_TRUE(devices->received().empty());
}

TEST_F(DevicePush, DeviceIpSettingsGoToTheDeviceAsStored)
{
    tree().put("devices.0B.type", "corvanet");
    tree().put("devices.0B.ip_settings.ip_address", "10.0.0.9");
    tree().put("devices.0B.ip_settings.subnet_mask", "255.0.0.0");
    tree().put("devices.0B.ip_settings.default_gateway", "10.0.0.1");
    tree().put("devices.0B.ip_settings.hostname", "box b");
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    directPeer.receiveMessage();

    protocol->sendDeviceIpSettings("0B");
    EXPECT_EQ(directPeer.receiveMessage(),
              sent("corvanet@0B", "device set",
                   "bootprotocol=static\nip=10.0.0.9\nnetmask=255.0.0.0\ngateway=10.0.0.1\nhostname=box b\n"));
    protocol->sendDeviceIpSettings("0C");
    EXPECT_EQ(directPeer.receiveMessage(),
              sent("@0C", "device set", "bootprotocol=static\nip=\nnetmask=\ngateway=\nhostname=\n"));

    // The device search has ended; a waiting requester stays waiting.
    protocol->handleData(deviceReply("kpscreen@0A", screenSettings), direct());
    EXPECT_TRUE(devices->received().empty());
    auto requester = std::make_shared<RecordingCommand>();
    protocol->requestSystemUpdate(requester);
    protocol->sendDeviceIpSettings("0B");
    EXPECT_TRUE(requester->received().empty());
    protocol->handleData(withNul("to=kip@00:11:22:33:44:55\nfrom=corvanet@0A\nmsg=system update\nstatus=ok\n"),
                         mainLink.get());
    EXPECT_EQ(requester->received(), Texts{""});
}
