#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

namespace {

using DeviceInventory = ConfLink;

const std::string settings = "netmask=255.255.255.0\ngateway=10.0.0.254\nhostname=unit\n";

std::string networkAt(const std::string& ip)
{
    return "ip=" + ip + "\n" + settings;
}

// The ip_settings leaves that `networkAt` gives, and the type after them.
std::string ipLeaves(const std::string& mac, const std::string& ip, const std::string& type)
{
    return "ip_settings.mac_address=" + mac + " ip_settings.ip_address=" + ip +
           " ip_settings.subnet_mask=255.255.255.0 ip_settings.default_gateway=10.0.0.254 ip_settings.hostname=unit"
           " type=" +
           type;
}

}  // namespace

TEST_F(DeviceInventory, TessoraRoutersAndPanelsAreDescribedFromTheirSystemText)
{
    auto devices = searchDevices();
    receive(
        deviceReply("tessora@0A", networkAt("10.0.0.1") +
                                      "address=12a\nversion=3.1\nbuild=b7\nrevision=C\n"
                                      "system_name=studio\nsystem_description=main\nsystem=r_64x32_video,kpblock\n"),
        direct());
    receive(deviceReply("tessora@0C", networkAt("10.0.0.3") + "system=r_17x8_data\n"), mainLink.get());
    receive(deviceReply("tessora@0D", networkAt("10.0.0.4") + "system=r_16\n"), direct());
    receive(deviceReply("tessora@1C", networkAt("10.0.0.21") + "ext_dev0=1\nversion=2.0\nsystem=r_8\n"), direct());

    EXPECT_EQ(devices->received(), (Texts{"0A", "0C", "0D", "1C"}));
    EXPECT_EQ(leaves(tree(), "devices.0A"),
              "address=0 version=3.1 build=b7 revision=C router.inputs=64 router.outputs=32 router.format=video "
              "system_name=studio system_description=main panel.buttons=40 rack_unit_size=1 " +
                  ipLeaves("0A", "10.0.0.1", "tessora"));
    EXPECT_NE(leaves(tree(), "devices.0C")
                  .find("router.inputs=17 router.outputs=8 router.format=data-xy "
                        "system_name= system_description= rack_unit_size=3 "),
              std::string::npos);
    EXPECT_NE(leaves(tree(), "devices.0D")
                  .find("router.inputs=16 router.outputs=16 router.format= "
                        "system_name= system_description= rack_unit_size=1 "),
              std::string::npos);
    EXPECT_EQ(leaves(tree(), "devices.1C"),
              "address=0 version=2.0 build= revision= router.inputs=8 router.outputs=8 router.format= system_name= "
              "system_description= rack_unit_size=1 " +
                  ipLeaves("1C", "10.0.0.21", "unsupported"));
}

// The design matches a device's address as a substring of any value of a subsystem, not as the
// subsystem's router address: 10.0.0.1 is found in 10.0.0.12:4381 and in a description, and the
// last subsystem in tree order that holds it wins. A device no subsystem mentions keeps the
// subsystem an earlier reply gave it.
TEST_F(DeviceInventory, SubsystemIsTheLastWhoseValuesHoldTheAddressAsASubstring)
{
    tree().put("system.subsystems.1.router1", "10.0.0.12:4381");
    tree().put("system.subsystems.2.description", "10.0.0.13 spare");
    tree().put("system.subsystems.3.router1", "10.0.0.99:4381");
    const struct {
        const char* mac;
        const char* ip;
        const char* subsystem;
    } rows[] = {{"0A", "10.0.0.1", "2"}, {"0B", "10.0.0.99", "3"}, {"0C", "10.0.0.7", "none"}};
    for (const auto& row : rows) {
        receive(deviceReply(std::string("tessora@") + row.mac, networkAt(row.ip)), direct());
        EXPECT_EQ(tree().getOr(std::string("devices.") + row.mac + ".subsystem", "none"), row.subsystem) << row.ip;
    }
    tree().root().erase("system");
    receive(deviceReply("tessora@0A", networkAt("10.0.0.1")), direct());
    EXPECT_EQ(tree().getOr("devices.0A.subsystem", "none"), "2");
}

// Boxes and cards describe themselves on the main link (later messages go to them) and others
// on the direct one; a box is then asked for its Spread settings, a card answers the request.
TEST_F(DeviceInventory, ControllerBoxesAndCards)
{
    receive(deviceReply("corvanet@2B",
                        networkAt("10.0.0.30") +
                            "version=2.1.0-svn1234\naddress=7\nbox=trq5\n"
                            "module_positions=4\nmodule0=1;matrix;1.0;A\nmodule1=3;;1.0;A\nmodule3=4;audio;1.1;B\n"),
            direct());
    EXPECT_EQ(directSent(), sent("corvanet@2B", "spread get"));
    EXPECT_FALSE(tree().contains("corvanet"));
    EXPECT_EQ(leaves(tree(), "devices.2B"),
              "version=2.1.0 build_number=0 build_time=1970-01-01T00:00:00+0000 hash=0 revision=0 box=trq5 "
              "internal_protocol=none address=7 neighbor_mac= module_positions=4 modules.0.position=1 "
              "modules.0.name=matrix modules.0.version=1.0 modules.0.revision=A modules.1.position=3 modules.1.name= "
              "modules.1.version=1.0 modules.1.revision=A " +
                  ipLeaves("2B", "10.0.0.30", "corvanet"));
    protocol->sendMessage("reboot");
    EXPECT_EQ(mainSent(), sent("*", "reboot"));

    receive(deviceReply("corvanet@2A", networkAt("10.0.0.31") + "neighbor_mac=2C\ninternal_protocol=modular\n"
                                                                "build=2024-05-01T10:00:00+0000\n"),
            mainLink.get());
    EXPECT_EQ(mainSent(), sent("corvanet@2A", "spread get"));
    EXPECT_FALSE(tree().contains("devices.2A"));
    EXPECT_EQ(leaves(tree(), "corvanet"),
              "version=0.0.0pre0 build_number=0 build_time=2024-05-01T10:00:00+0000 hash=0 revision=0 box=kbox "
              "internal_protocol=modular address=0 neighbor_mac=2C module_positions=0 " +
                  ipLeaves("2A", "10.0.0.31", "corvanet"));

    auto reply = std::make_shared<RecordingCommand>();
    protocol->requestSystemDevices(reply);
    EXPECT_EQ(mainSent(), sent("corvanet@2A", "device get"));
    tree().root().erase("corvanet");
    receive(deviceReply("gx2400-ln-ctl@3A", networkAt("10.0.0.40")), mainLink.get());
    EXPECT_EQ(reply->received(), Texts{""});
    EXPECT_EQ(leaves(tree(), "corvanet"),
              "version=0.0.0pre0 build_time=0 dip=0 " + ipLeaves("3A", "10.0.0.40", "gx2400-ln-ctl"));
    receive(deviceReply("gx2400-ln-ctl@3B", networkAt("10.0.0.41") + "version=1.4-svn77\nbuild=17\ndip=3\n"), direct());
    EXPECT_EQ(leaves(tree(), "devices.3B").find("version=1.4 build_time=17 dip=3 "), 0u);
    EXPECT_EQ(reply->received().size(), 1u);
}

TEST_F(DeviceInventory, OtherKindsAndMissingRequiredKeys)
{
    auto devices = searchDevices();
    EXPECT_EQ(directSent(), sent("*", "device get"));
    receive(deviceReply("kpscreen@4A", networkAt("10.0.0.50")), direct());
    receive(deviceReply("kpscreen@4B", "ip=10.0.0.51\nnetmask=255.0.0.0\ngateway=10.0.0.254\n"), direct());
    receive(deviceReply("kpscreen@4C", settings), direct());
    receive(deviceReply("corvanet@4E", "ip=10.0.0.54\nnetmask=255.0.0.0\n"), direct());

    EXPECT_EQ(directSent(), sent("corvanet@4E", "spread get"));
    EXPECT_EQ(devices->received(), (Texts{"4A", "4B"}));
    EXPECT_EQ(leaves(tree(), "devices.4A"), ipLeaves("4A", "10.0.0.50", "kpscreen"));
    // A missing key ends the entry where it is read.
    EXPECT_EQ(leaves(tree(), "devices.4B"),
              "ip_settings.mac_address=4B ip_settings.ip_address=10.0.0.51 "
              "ip_settings.subnet_mask=255.0.0.0 ip_settings.default_gateway=10.0.0.254");
    const std::string box = leaves(tree(), "devices.4E");
    EXPECT_EQ(box.substr(box.find("ip_settings.")),
              "ip_settings.mac_address=4E ip_settings.ip_address=10.0.0.54 ip_settings.subnet_mask=255.0.0.0");
    EXPECT_EQ(tree().findChild("devices")->size(), 3u);
}
