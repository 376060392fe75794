#include "model/SpreadFile.h"

#include "support/TreeText.h"

#include <gtest/gtest.h>

namespace {
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
    EXPECT_EQ(leaves(tree, "system.spread"), "file=" + text + " hosts.box1=192.168.1.10 no_of_hosts=1");

    // An empty or invalid mask counts as all ones.
    const std::pair<const char*, const char*> masks[] = {
        {"255.0.0.0", "10.255.255.255"}, {"", "10.1.2.3"}, {"bogus", "10.1.2.3"}};
    for (const auto& [mask, broadcast] : masks)
        EXPECT_EQ(spreadFileOf("10.1.2.3", mask).rfind("Spread_Segment " + std::string(broadcast) + ":2836 {\n", 0), 0u)
            << mask;
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
    EXPECT_EQ(leaves(tree, "system.spread.hosts"),
              "old=10.0.0.99 alpha=10.0.0.1 beta=  10.0.0.2 gamma.studio=10.0.0.3");

    // A closing brace before the opening one: the hosts run to the end of the text.
    SystemTree reversed;
    parseSpreadFile(reversed, "} segment {\nlonely\nb 10.0.0.2");
    EXPECT_EQ(leaves(reversed, "system.spread.hosts"), "lonely= b=10.0.0.2");

    // Without both braces there are no hosts.
    for (const std::string text : {"", "a 10.0.0.1\nb 10.0.0.2\n", "{\na 10.0.0.1\n", "a 10.0.0.1\n}\n"}) {
        SystemTree other;
        parseSpreadFile(other, text);
        EXPECT_EQ(leaves(other, "system.spread"), "file=" + text + " no_of_hosts=0") << text;
    }
}
