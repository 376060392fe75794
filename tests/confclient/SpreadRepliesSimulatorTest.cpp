#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "confclient/ConfMessage.h"
#include "support/SimulatedNetwork.h"
#include "support/WorkerQueue.h"
#include "transport/MacAddress.h"

#include <boost/property_tree/json_parser.hpp>

#include <cstdio>
#include <fstream>

// The system-building chain against the configuration-daemon simulator: what it receives, in
// order, and what it stores.

using Texts = std::vector<std::string>;
using Tree = boost::property_tree::ptree;

namespace {

constexpr std::chrono::seconds chainLimit(10);
const std::string box = "corvanet@00:1E:C0:4A:10:01";

// A file of this test's own, removed when it goes (after the simulator, which writes it at exit).
struct TemporaryFile {
    explicit TemporaryFile(const std::string& text)
    {
        static int next = 0;
        path = "/tmp/kipd-build-" + std::to_string(::getpid()) + "-" + std::to_string(next++) + ".state.json";
        if (!text.empty())
            std::ofstream(path) << text;
    }
    ~TemporaryFile() { std::remove(path.c_str()); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    std::string path;
};

// The simulated network, keeping its configuration in a state file of this test's own (written
// beforehand to start from a network of the test's choosing).
struct SimulatedBuild {
    explicit SimulatedBuild(const std::string& network, const std::string& startState = std::string())
        : state(startState), net(network, {"--state", state.path})
    {
    }

    // Reads this box and its system the way a client's first question does.
    bool readThisBox()
    {
        auto read = std::make_shared<RecordingCommand>();
        net.withProtocol([&](ConfClientProtocol& protocol) { protocol.requestSystemDevices(read); });
        return waitUntil([&] { return read->received() == Texts{""}; }, chainLimit);
    }
    // The tree as the network manager leaves it when this box creates its system.
    void createSystem(std::shared_ptr<Command> requester)
    {
        net.withProtocol([&](ConfClientProtocol& protocol) {
            SystemTree& tree = net.netManager.tree();
            tree.put("system.name", tree.getOr("corvanet.ip_settings.hostname", ""));
            tree.put("system.description", "Corvanet Configurator System");
            tree.put("system.spread.file", net.netManager.makeSpreadFile());
            protocol.sendSpreadSettings(requester);
        });
    }
    std::string treeValue(const std::string& path)
    {
        return onWorker([&] { return net.netManager.tree().getOr(path, ""); });
    }
    Tree storedState() const
    {
        Tree stored;
        boost::property_tree::read_json(state.path, stored);
        return stored;
    }
    // The names of the messages received, but the first `skip`.
    Texts receivedNames(std::size_t skip) const
    {
        Texts names;
        for (const auto& entry : net.sim.logEntries())
            if (entry.get<std::string>("dir", "") == "in")
                names.push_back(entry.get<std::string>("msg", "") + "@" + entry.get<std::string>("link", ""));
        names.erase(names.begin(), names.begin() + static_cast<long>(std::min(skip, names.size())));
        return names;
    }

    TemporaryFile state;
    SimulatedNetwork net;
};

std::string request(const std::string& to, const std::string& name, const std::string& body = "")
{
    return "to=" + to + "\nfrom=kip@" + readMacAddress() + "\nmsg=" + name + "\n" + body;
}

const std::string newBoxSpreadText =
    "Spread_Segment 192.168.10.255:2836 {\nkdrtn-new 192.168.10.21\ndummycon 192.168.10.1\n}\nSocketPortReuse = ON\n";

const std::string standAloneSubsystem =
    "subsystem=0\ncascade_mode=0\ncommand_echo=false\ndescription=Corvanet KD-RTN\ninterface_type=internal\n"
    "local_lock=0\nlocal_mnemonics=0\nloop_mode=false\nprotocol_name=none\nprotocol_type=internal\n"
    "use_external_port=0\nuser=3\n";

// Paths at which two trees differ, ignoring the order of children.
void collectDifferences(const Tree& left, const Tree& right, const std::string& path, Texts& out)
{
    if (left.data() != right.data())
        out.push_back(path + ": " + left.data() + " / " + right.data());
    for (const Tree::value_type& child : left) {
        auto other = right.find(child.first);
        if (other == right.not_found())
            out.push_back(path + "." + child.first + ": only left");
        else
            collectDifferences(child.second, other->second, path + "." + child.first, out);
    }
    for (const Tree::value_type& child : right)
        if (left.find(child.first) == left.not_found())
            out.push_back(path + "." + child.first + ": only right");
}

Texts differences(const Tree& left, const Tree& right)
{
    Texts out;
    collectDifferences(left, right, "", out);
    return out;
}

// A new Tessora Q5 box with a 32x32 matrix and a processing module; nothing stored yet.
const std::string newQ5Box = R"({"this_box": {"kind": "corvanet", "mac": "00:1E:C0:6C:00:05",
  "ip_settings": {"ip": "192.168.20.21", "netmask": "255.255.255.0", "gateway": "192.168.20.1",
                  "hostname": "trq5-truck-1"},
  "box": "trq5", "module_positions": 2,
  "modules": [{"position": "1", "name": "TRQ5-32x32", "version": "2.0.1", "revision": "A"},
              {"position": "2", "name": "TRQ5-PROC", "version": "1.3.0", "revision": "B"}]},
  "system": null, "devices": [], "subsystems": {}})";

}  // namespace

TEST(SpreadRepliesSimulated, NewSystemIsStoredPushedAndBroughtUp)
{
    SimulatedBuild build("examples/network-nosystem.json");
    ASSERT_TRUE(build.net.connected);
    ASSERT_TRUE(build.readThisBox());
    auto requester = std::make_shared<RecordingCommand>();
    build.createSystem(requester);
    ASSERT_TRUE(waitUntil([&] { return !requester->received().empty(); }, chainLimit));
    EXPECT_EQ(requester->received(), Texts{""});

    EXPECT_EQ(build.net.sim.receivedTexts(),
              (Texts{request("*", "device get"), request(box, "spread get"),
                     request(box, "spread set", "data=" + hexEncode(newBoxSpreadText) +
                                                    "\nname=kdrtn-new\ndescription=Corvanet Configurator System\n"),
                     request(box, "spread update"), request(box, "subsystem set", standAloneSubsystem),
                     request(box, "system update")}));
    const Tree state = build.storedState();
    EXPECT_EQ(state.get("system.name", ""), "kdrtn-new");
    EXPECT_EQ(state.get("system.description", ""), "Corvanet Configurator System");
    EXPECT_EQ(state.get("system.spread_file", ""), newBoxSpreadText);
    EXPECT_EQ(state.get("subsystems.0.description", ""), "Corvanet KD-RTN");
    EXPECT_EQ(state.get("subsystems.0.user", ""), "3");

    // A new reading brings the stored system back through "spread get".
    onWorker([&] {
        build.net.netManager.forgetSystem();
        return true;
    });
    ASSERT_TRUE(build.readThisBox());
    EXPECT_EQ(build.treeValue("system.spread.hosts.kdrtn-new"), "192.168.10.21");
    EXPECT_EQ(build.treeValue("system.spread.file"), newBoxSpreadText);
}

TEST(SpreadRepliesSimulated, OwnAddressChangeAnswersFirstThenPushesAndReboots)
{
    SimulatedBuild build("examples/network-nosystem.json");
    ASSERT_TRUE(build.net.connected);
    ASSERT_TRUE(build.readThisBox());
    auto requester = std::make_shared<RecordingCommand>();
    onWorker([&] {
        build.net.netManager.setOwnChangeDelays(std::chrono::milliseconds(300), std::chrono::milliseconds(10));
        build.net.netManager.setIpSettings("192.168.10.25", "255.255.255.0", "192.168.10.1", "kdrtn-one",
                                       "00:1E:C0:4A:10:01", requester);
        return true;
    });
    ASSERT_TRUE(waitUntil([&] { return build.receivedNames(0).size() >= 4 &&
                                       build.receivedNames(0).back() == "reboot@main"; },
                          chainLimit));
    EXPECT_EQ(requester->received(), Texts{""});

    const Texts texts = build.net.sim.receivedTexts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(Texts(texts.end() - 4, texts.end()),
              (Texts{request(box, "spread set",
                             "data=" + hexEncode("Spread_Segment 192.168.10.255:2836 {\nkdrtn-one 192.168.10.25\n"
                                                 "dummycon 192.168.10.1\n}\nSocketPortReuse = ON\n") +
                                 "\nname=kdrtn-one\ndescription=Corvanet Configurator System\n"),
                     request(box, "subsystem set", standAloneSubsystem),
                     request(box, "device set",
                             "ip=192.168.10.25\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=kdrtn-one\n"),
                     request(box, "reboot")}));
    ASSERT_TRUE(waitUntil([&] { return build.storedState().get("this_box.ip_settings.ip", "") == "192.168.10.25"; }));
    EXPECT_EQ(build.storedState().get("this_box.ip_settings.hostname", ""), "kdrtn-one");
    EXPECT_EQ(build.storedState().get("system.name", ""), "kdrtn-one");
}

TEST(SpreadRepliesSimulated, TessoraQ5BoxStoresItsInternalRouters)
{
    SimulatedBuild build("examples/network-q5.json", newQ5Box);
    ASSERT_TRUE(build.net.connected);
    ASSERT_TRUE(build.readThisBox());
    auto requester = std::make_shared<RecordingCommand>();
    build.createSystem(requester);
    ASSERT_TRUE(waitUntil([&] { return !requester->received().empty(); }, chainLimit));
    EXPECT_EQ(requester->received(), Texts{""});

    EXPECT_EQ(build.receivedNames(2),
              (Texts{"spread set@main", "spread update@main", "subsystem set@main", "partition set@main",
                     "mnemonics set@main", "mnemonics set@main", "partition set@main", "mnemonics set@main",
                     "mnemonics set@main", "system update@main"}));
    for (const auto& entry : build.net.sim.logEntries())
        EXPECT_FALSE(entry.get_child_optional("problems")) << entry.get("text", "");

    // What the simulator stores is exactly the configuration its Q5 example describes.
    Tree example;
    boost::property_tree::read_json(std::string(KIPD_SOURCE_DIR) + "/examples/network-q5.json", example);
    EXPECT_EQ(differences(build.storedState().get_child("subsystems"), example.get_child("subsystems")), Texts{});
}
