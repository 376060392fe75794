#include "model/SpreadFile.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {
using Hosts = std::vector<std::pair<std::string, std::string>>;

Hosts hostsOf(const SystemTree& tree)
{
    Hosts hosts;
    if (const SystemTree::Tree* node = tree.findChild("system.spread.hosts"))
        for (const auto& host : *node)
            hosts.emplace_back(host.first, host.second.data());
    return hosts;
}

std::string spreadFileOf(const std::string& address, const std::string& mask)
{
    SystemTree tree;
    tree.put("corvanet.ip_settings.ip_address", address);
    tree.put("corvanet.ip_settings.subnet_mask", mask);
    tree.put("corvanet.ip_settings.default_gateway", "192.168.1.1");
    tree.put("corvanet.ip_settings.hostname", "box1");
    return makeSpreadFile(tree);
}
}  // namespace

TEST(SpreadFile, MadeTextListsThisBoxWithItsBroadcastAndParsesBackToIt)
{
    const std::string text = spreadFileOf("192.168.1.10", "255.255.255.0");
    EXPECT_EQ(
        text,
        "Spread_Segment 192.168.1.255:2836 {\nbox1 192.168.1.10\ndummycon 192.168.1.1\n}\nSocketPortReuse = ON\n");
    SystemTree tree;
    parseSpreadFile(tree, text);
    EXPECT_EQ(tree.getOr("system.spread.file", ""), text);
    EXPECT_EQ(tree.getOptionalInt("system.spread.no_of_hosts"), 1);
    EXPECT_EQ(hostsOf(tree), (Hosts{{"box1", "192.168.1.10"}}));

    // An empty or invalid mask counts as all ones.
    EXPECT_EQ(spreadFileOf("10.1.2.3", "255.0.0.0").rfind("Spread_Segment 10.255.255.255:2836 {\n", 0), 0u);
    EXPECT_EQ(spreadFileOf("10.1.2.3", "").rfind("Spread_Segment 10.1.2.3:2836 {\n", 0), 0u);
    EXPECT_EQ(spreadFileOf("10.1.2.3", "bogus").rfind("Spread_Segment 10.1.2.3:2836 {\n", 0), 0u);
    EXPECT_EQ(makeSpreadFile(SystemTree()),
              "Spread_Segment 255.255.255.255:2836 {\n \ndummycon \n}\nSocketPortReuse = ON\n");
}

TEST(SpreadFile, HostLinesBetweenTheBracesBecomeHostsInFileOrder)
{
    SystemTree tree;
    tree.put("system.spread.hosts.old", "10.0.0.99");
    parseSpreadFile(tree,
                    "Spread_Segment 10.0.0.255:2836 {\r\n\t  alpha 10.0.0.1\r\nbeta\t  10.0.0.2\n\n"
                    "dummycon 10.0.0.254\ngamma.studio 10.0.0.3\n}\nnever 10.0.0.9\n");
    EXPECT_EQ(tree.getOptionalInt("system.spread.no_of_hosts"), 3);
    EXPECT_EQ(
        hostsOf(tree),
        (Hosts{{"old", "10.0.0.99"}, {"alpha", "10.0.0.1"}, {"beta", "  10.0.0.2"}, {"gamma.studio", "10.0.0.3"}}));

    // A closing brace before the opening one: the hosts run to the end of the text.
    SystemTree reversed;
    parseSpreadFile(reversed, "} segment {\nlonely\nb 10.0.0.2");
    EXPECT_EQ(hostsOf(reversed), (Hosts{{"lonely", ""}, {"b", "10.0.0.2"}}));

    // Without both braces there are no hosts.
    for (const std::string text : {"", "a 10.0.0.1\nb 10.0.0.2\n", "{\na 10.0.0.1\n", "a 10.0.0.1\n}\n"}) {
        SCOPED_TRACE(text);
        SystemTree other;
        parseSpreadFile(other, text);
        EXPECT_EQ(other.getOr("system.spread.file", "unset"), text);
        EXPECT_EQ(other.getOptionalInt("system.spread.no_of_hosts"), 0);
        EXPECT_TRUE(hostsOf(other).empty());
    }
}
