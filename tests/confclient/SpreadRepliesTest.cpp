#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "confclient/ConfMessage.h"

using SpreadReplies = ConfLink;

static const std::string box = "corvanet@00:1E:C0:4A:10:01";

TEST(SpreadRepliesHexText, HexEncodingIsUpperCasePairsAndDecodingStopsAtInvalidDigits)
{
    EXPECT_EQ(hexEncode(std::string("A\n\0\xFF\x7F", 5)), "410A00FF7F");
    EXPECT_EQ(hexDecode("410a00Ff7F"), std::string("A\n\0\xFF\x7F", 5));
    EXPECT_EQ(hexDecode("ABC"), std::string("\xAB\x0C"));
    EXPECT_EQ(hexDecode("4G"), std::string("\x04"));
    EXPECT_EQ(hexDecode("G4zz41"), std::string("\0\0A", 3));
}

// Replies to "spread set" and "spread update" count on the main link only; a failed update
// ends the chain, a good one pushes the configuration and asks for the system update.
TEST_F(SpreadReplies, SpreadSetThenUpdateOnTheMainLinkAndTheDeviceSearchEnds)
{
    auto search = searchDevices();
    auto requester = std::make_shared<RecordingCommand>();
    protocol->sendSpreadSettings(requester);
    EXPECT_EQ(mainSent(), sent("*", "spread set", "data=\nname=\ndescription=\n"));
    receive(reply(box, "spread set", "status=ok\n"), direct());
    receive(reply(box, "spread set", "status=whatever\n"), mainLink.get());
    EXPECT_EQ(mainSent(), sent("*", "spread update"));
    receive(reply(box, "spread update", "status=busy\n"), direct());
    receive(reply(box, "spread update", "status=busy\n"), mainLink.get());
    receive(reply(box, "spread update"), mainLink.get());
    EXPECT_EQ(requester->received(), (Texts{"Spread update failure", "Spread update failure"}));
    receive(reply(box, "spread update", "status=ok\n"), mainLink.get());
    EXPECT_EQ(mainSent(), sent("*", "subsystem set", ownSubsystemBody()));
    EXPECT_EQ(mainSent(), sent("*", "system update"));

    receive(deviceReply("kpscreen@0A", "ip=1.2.3.4\nnetmask=x\ngateway=y\nhostname=z\n"), direct());
    EXPECT_TRUE(search->received().empty());
}

// "system update" answers on either link; each final status restarts the system's Tessora panels.
TEST_F(SpreadReplies, FinalSystemUpdateRebootsThePanelsOfTheSystemOnly)
{
    tree().put("system.name", "studio");
    const std::vector<Texts> devices = {
        // MAC, system, type, parts
        {"01", "studio", "tessora", "panel"},  {"02", "studio", "tessora", "router panel"},
        {"03", "studio", "tessora", "router"}, {"04", "other", "tessora", "panel"},
        {"05", "studio", "kpscreen", "panel"}, {"06", "studio", "tessora", "panel"},
    };
    for (const Texts& device : devices) {
        const std::string node = "devices." + device[0] + ".";
        tree().put(node + "system_name", device[1]);
        tree().put(node + "type", device[2]);
        for (const char* part : {"router", "panel"})
            if (device[3].find(part) != std::string::npos)
                tree().put(node + part + ".inputs", 8);
    }
    auto requester = std::make_shared<RecordingCommand>();
    protocol->requestSystemUpdate(requester);
    EXPECT_EQ(mainSent(), sent("*", "system update"));
    receive(reply(box, "system update", "status=working\n"), mainLink.get());
    EXPECT_TRUE(requester->received().empty());
    for (const char* status : {"status=ok\n", "status=disk full\n"}) {
        receive(reply(box, "system update", status), direct());
        EXPECT_EQ(directSent(), sent("tessora@01", "reboot"));
        EXPECT_EQ(directSent(), sent("tessora@06", "reboot"));
    }
    // Without a system name nobody restarts.
    tree().put("system.name", "");
    receive(reply(box, "system update", "\n"), mainLink.get());
    protocol->sendTo("marker", "*");
    EXPECT_EQ(directSent(), sent("*", "marker"));
    EXPECT_EQ(requester->received(), (Texts{"", "disk full", ""}));
}

TEST_F(SpreadReplies, SpreadGetFillsTheSystemFromThisBoxAndMembershipFromOthers)
{
    tree().put("corvanet.ip_settings.mac_address", "00:1E:C0:4A:10:01");
    const std::string data =
        "data=" + hexEncode("Spread_Segment 1.2.3.255:2836 {\nbox1 1.2.3.4\ndummycon 1.2.3.1\n}\n");
    auto requester = std::make_shared<RecordingCommand>();
    protocol->requestSystemDevices(requester);
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
    EXPECT_EQ(leaves(tree(), "devices.0B"), "system_name=other system_description=theirs");
    EXPECT_EQ(tree().getOr("system.name", ""), "renamed");
}
