#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "confclient/ConfMessage.h"

namespace {

using SpreadReplies = ConfLink;

const std::string box = "corvanet@00:1E:C0:4A:10:01";

void putOwnSettings(SystemTree& tree, const std::string& type)
{
    tree.put("corvanet.type", type);
    tree.put("corvanet.ip_settings.mac_address", "00:1E:C0:4A:10:01");
    tree.put("corvanet.ip_settings.ip_address", "192.168.10.21");
    tree.put("corvanet.ip_settings.subnet_mask", "255.255.255.0");
    tree.put("corvanet.ip_settings.default_gateway", "192.168.10.1");
    tree.put("corvanet.ip_settings.hostname", "kdrtn-new");
}

void putDevice(SystemTree& tree, const std::string& mac, const std::string& system, const std::string& type,
               bool router, bool panel)
{
    tree.put("devices." + mac + ".system_name", system);
    tree.put("devices." + mac + ".type", type);
    if (router)
        tree.put("devices." + mac + ".router.inputs", 8);
    if (panel)
        tree.put("devices." + mac + ".panel.buttons", 40);
}

}  // namespace

TEST(SpreadText, HexEncodingIsUpperCasePairsAndDecodingStopsAtInvalidDigits)
{
    EXPECT_EQ(hexEncode(std::string("A\n\0\xFF\x7F", 5)), "410A00FF7F");
    EXPECT_EQ(hexEncode(""), "");
    EXPECT_EQ(hexDecode("410a00Ff7F"), std::string("A\n\0\xFF\x7F", 5));
    EXPECT_EQ(hexDecode("ABC"), std::string("\xAB\x0C"));
    EXPECT_EQ(hexDecode("4G"), std::string("\x04"));
    EXPECT_EQ(hexDecode("G4zz41"), std::string("\0\0A", 3));
    EXPECT_EQ(hexDecode(""), "");
}

TEST_F(SpreadReplies, SpreadSetCarriesTheHexTextAndTheChainEndsWithTheFinalSystemUpdate)
{
    putOwnSettings(tree(), "corvanet");
    tree().put("system.name", "kdrtn-new");
    tree().put("system.description", "Corvanet Configurator System");
    tree().put("system.spread.file", std::string("a {\n\xC3\xA9}\n"));
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    EXPECT_EQ(directPeer.receiveMessage(), sent("*", "device get"));
    auto requester = std::make_shared<RecordingCommand>();
    protocol->sendSpreadSettings(requester);
    EXPECT_EQ(
        mainPeer.receiveMessage(),
        sent("*", "spread set", "data=61207B0AC3A97D0A\nname=kdrtn-new\ndescription=Corvanet Configurator System\n"));
    receive(reply(box, "spread set", "status=ok\n"), direct());
    receive(reply(box, "spread set", "status=whatever\n"), mainLink.get());
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "spread update"));
    receive(reply(box, "spread update", "status=ok\n"), direct());
    receive(reply(box, "spread update", "status=ok\n"), mainLink.get());
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "subsystem set", ownSubsystemBody()));
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "system update"));

    receive(reply(box, "system update", "status=working\n"), mainLink.get());
    EXPECT_TRUE(requester->received().empty());
    receive(reply(box, "system update", "status=ok\n"), direct());
    EXPECT_EQ(requester->received(), Texts{""});
    // Replies are kept waiting for: a later final status reaches the same requester.
    receive(reply(box, "system update", "status=disk full\n"), mainLink.get());
    receive(reply(box, "system update", "\n"), mainLink.get());
    EXPECT_EQ(requester->received(), (Texts{"", "disk full", ""}));

    // Sending the Spread settings ended the device search.
    receive(deviceReply("kpscreen@0A", "ip=1.2.3.4\nnetmask=x\ngateway=y\nhostname=z\n"), direct());
    EXPECT_TRUE(devices->received().empty());
    protocol->sendMessage("marker");
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "marker"));
}

TEST_F(SpreadReplies, EmptySpreadTextUpdateFailuresAndTheControllerCard)
{
    auto requester = std::make_shared<RecordingCommand>();
    protocol->sendSpreadSettings(requester);
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "spread set", "data=\nname=\ndescription=\n"));
    receive(reply(box, "spread update", "status=busy\n"), mainLink.get());
    receive(reply(box, "spread update"), mainLink.get());
    EXPECT_EQ(requester->received(), (Texts{"Spread update failure", "Spread update failure"}));

    // A controller card keeps no Spread text: it answers at once and takes its address.
    putOwnSettings(tree(), "gx2400-ln-ctl");
    tree().put("system.spread.file", "never sent");
    auto card = std::make_shared<RecordingCommand>();
    protocol->sendSpreadSettings(card);
    EXPECT_EQ(card->received(), Texts{""});
    EXPECT_EQ(
        mainPeer.receiveMessage(),
        sent("*", "device set", "ip=192.168.10.21\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=kdrtn-new\n"));
}

TEST_F(SpreadReplies, FinalSystemUpdateRebootsThePanelsOfTheSystemOnly)
{
    tree().put("system.name", "studio");
    putDevice(tree(), "01", "studio", "tessora", false, true);
    putDevice(tree(), "02", "studio", "tessora", true, true);
    putDevice(tree(), "03", "studio", "tessora", true, false);
    putDevice(tree(), "04", "other", "tessora", false, true);
    putDevice(tree(), "05", "studio", "kpscreen", false, true);
    putDevice(tree(), "06", "studio", "tessora", false, true);
    auto requester = std::make_shared<RecordingCommand>();
    protocol->requestSystemUpdate(requester);
    EXPECT_EQ(mainPeer.receiveMessage(), sent("*", "system update"));

    receive(reply(box, "system update", "status=working\n"), mainLink.get());
    receive(reply(box, "system update", "status=ok\n"), mainLink.get());
    EXPECT_EQ(directPeer.receiveMessage(), sent("tessora@01", "reboot"));
    EXPECT_EQ(directPeer.receiveMessage(), sent("tessora@06", "reboot"));
    EXPECT_EQ(requester->received(), Texts{""});

    receive(reply(box, "system update", "status=failed\n"), direct());
    EXPECT_EQ(directPeer.receiveMessage(), sent("tessora@01", "reboot"));
    EXPECT_EQ(directPeer.receiveMessage(), sent("tessora@06", "reboot"));
    EXPECT_EQ(requester->received(), (Texts{"", "failed"}));

    // Without a system name nobody restarts.
    tree().put("system.name", "");
    receive(reply(box, "system update", "status=ok\n"), mainLink.get());
    protocol->sendTo("marker", "*");
    EXPECT_EQ(directPeer.receiveMessage(), sent("*", "marker"));
}

TEST_F(SpreadReplies, SpreadGetFillsTheSystemFromThisBoxAndMembershipFromOthers)
{
    putOwnSettings(tree(), "corvanet");
    const std::string data =
        "data=" + hexEncode("Spread_Segment 1.2.3.255:2836 {\nbox1 1.2.3.4\ndummycon 1.2.3.1\n}\n");
    auto devices = std::make_shared<RecordingCommand>();
    protocol->requestDeviceList(devices);
    auto requester = std::make_shared<RecordingCommand>();
    protocol->requestSystemDevices(requester);  // clears the device search
    receive(reply(box, "spread get", "name=studio\ndescription=main\n" + data), mainLink.get());
    EXPECT_EQ(requester->received(), Texts{""});
    EXPECT_EQ(tree().getOr("system.name", ""), "studio");
    EXPECT_EQ(tree().getOr("system.description", ""), "main");
    EXPECT_EQ(tree().getOr("system.spread.hosts.box1", ""), "1.2.3.4");
    EXPECT_EQ(tree().getOr("system.spread.no_of_hosts", 0), 1);

    // This box answering directly updates the system but tells nobody.
    receive(reply(box, "spread get", "name=renamed\ndescription=d2\ndata=7b0A7D\n"), direct());
    EXPECT_EQ(tree().getOr("system.name", ""), "renamed");
    EXPECT_EQ(tree().getOr("system.spread.file", ""), "{\n}");
    EXPECT_EQ(tree().getOr("system.spread.no_of_hosts", -1), 0);
    EXPECT_EQ(requester->received().size(), 1u);

    // Another box answering directly only notes its membership.
    receive(reply("corvanet@0B", "spread get", "name=other\ndescription=theirs\n" + data), direct());
    EXPECT_EQ(tree().getOr("devices.0B.system_name", ""), "other");
    EXPECT_EQ(tree().getOr("devices.0B.system_description", ""), "theirs");
    EXPECT_EQ(tree().getOr("system.name", ""), "renamed");
    EXPECT_EQ(tree().getOr("system.spread.file", ""), "{\n}");

    // Another box on the main link is taken as the system; the device search hears of it first.
    protocol->requestDeviceList(devices);
    receive(reply("corvanet@0C", "spread get", "name=third\n"), mainLink.get());
    EXPECT_EQ(devices->received(), Texts{"0C"});
    EXPECT_EQ(tree().getOr("system.name", ""), "third");
    EXPECT_EQ(tree().getOr("system.description", "absent"), "");

    // No identity: nothing happens.
    receive(reply("corvanet", "spread get", "name=x\n"), mainLink.get());
    receive(reply("corvanet@", "spread get", "name=x\n"), mainLink.get());
    EXPECT_EQ(tree().getOr("system.name", ""), "third");
    EXPECT_EQ(devices->received().size(), 1u);
}
