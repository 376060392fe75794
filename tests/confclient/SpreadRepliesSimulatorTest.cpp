#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "support/SimulatedNetwork.h"

#include <boost/property_tree/json_parser.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>

using Tree = boost::property_tree::ptree;

namespace {

// Every leaf as "path=value", sorted, so trees compare regardless of the order of children.
void collectLeaves(const Tree& node, const std::string& path, Texts& out)
{
    if (node.empty())
        out.push_back(path + "=" + node.data());
    for (const Tree::value_type& child : node)
        collectLeaves(child.second, path + "." + child.first, out);
}
Texts sortedLeaves(const Tree& tree)
{
    Texts out;
    collectLeaves(tree, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

// A state file of the test's own that the simulator starts from and writes at exit; removed
// after the simulator is gone.
struct StateFile {
    explicit StateFile(const std::string& text) { std::ofstream(path) << text; }
    ~StateFile() { std::remove(path.c_str()); }
    std::string path = "/tmp/kipd-build-" + std::to_string(::getpid()) + ".state.json";
};

// A new Q5 box with a 32x32 matrix and a processing module; nothing stored yet.
const char* const newQ5Box = R"({"this_box": {"kind": "corvanet", "mac": "00:1E:C0:6C:00:05",
  "ip_settings": {"ip": "192.168.20.21", "netmask": "255.255.255.0", "gateway": "192.168.20.1", "hostname": "trq5-truck-1"},
  "box": "trq5", "module_positions": 2,
  "modules": [{"position": "1", "name": "TRQ5-32x32", "version": "2.0.1", "revision": "A"},
              {"position": "2", "name": "TRQ5-PROC", "version": "1.3.0", "revision": "B"}]},
  "system": null, "devices": [], "subsystems": {}})";

}  // namespace

// The system-building chain against the simulator: this box reads itself, creates its system as
// the network manager does, and the simulator stores exactly what its Q5 example describes.
TEST(SpreadRepliesSimulated, NewQ5SystemIsStoredAsTheExampleDescribesIt)
{
    StateFile state(newQ5Box);
    std::string spreadFile;  // as this box made it
    {
        SimulatedNetwork net("examples/network-q5.json", {"--state", state.path});
        ASSERT_TRUE(net.connected);
        auto read = std::make_shared<RecordingCommand>();
        net.withProtocol([&](ConfClientProtocol& protocol) { protocol.requestSystemDevices(read); });
        ASSERT_TRUE(read->waitFor(1));
        EXPECT_EQ(read->received(), Texts{""});

        auto requester = std::make_shared<RecordingCommand>();
        net.withProtocol([&](ConfClientProtocol& protocol) {
            SystemTree& tree = net.netManager.tree();
            tree.put("system.name", tree.getOr("corvanet.ip_settings.hostname", ""));
            tree.put("system.description", "Corvanet Configurator System");
            tree.put("system.spread.file", net.netManager.makeSpreadFile());
            protocol.sendSpreadSettings(requester);
        });
        ASSERT_TRUE(requester->waitFor(1));
        EXPECT_EQ(requester->received(), Texts{""});
        Texts names;
        for (const auto& entry : net.sim.entriesWith("dir", "in")) {
            names.push_back(entry.get<std::string>("msg", "") + "@" + entry.get<std::string>("link", ""));
            EXPECT_FALSE(entry.get_child_optional("problems")) << entry.get("text", "");
        }
        EXPECT_EQ(names,
                  (Texts{"device get@main", "spread get@main", "spread set@main", "spread update@main",
                         "subsystem set@main", "partition set@main", "mnemonics set@main", "mnemonics set@main",
                         "partition set@main", "mnemonics set@main", "mnemonics set@main", "system update@main"}));
        spreadFile = net.value("system.spread.file");
    }
    Tree example;
    boost::property_tree::read_json(std::string(KIPD_SOURCE_DIR) + "/examples/network-q5.json", example);
    Tree written;
    boost::property_tree::read_json(state.path, written);
    EXPECT_EQ(sortedLeaves(written.get_child("subsystems")), sortedLeaves(example.get_child("subsystems")));
    EXPECT_EQ(written.get("system.name", ""), "trq5-truck-1");
    EXPECT_EQ(written.get("system.description", ""), "Corvanet Configurator System");
    EXPECT_EQ(written.get("system.spread_file", ""), spreadFile);
    EXPECT_EQ(spreadFile.rfind("Spread_Segment 192.168.20.255:2836 {\ntrq5-truck-1 192.168.20.21\n", 0), 0u);
}
