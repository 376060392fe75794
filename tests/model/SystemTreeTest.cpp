#include "model/SystemTree.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::vector<std::string> childKeys(const SystemTree::Tree* node)
{
    std::vector<std::string> keys;
    for (const auto& child : *node)
        keys.push_back(child.first);
    return keys;
}
}  // namespace

TEST(SystemTree, PutAddressesMacKeysReplacesValuesAndAppendsChildren)
{
    SystemTree tree;
    tree.put("devices.00:0A:1B:2C:3D:4F.type", "tessora");
    tree.put("devices.00:0A:1B:2C:3D:4E.ip_settings.ip_address", "10.0.0.7");
    tree.put("devices.00:0A:1B:2C:3D:4F.type", "corvanet");
    EXPECT_EQ(childKeys(tree.findChild("devices")),
              (std::vector<std::string>{"00:0A:1B:2C:3D:4F", "00:0A:1B:2C:3D:4E"}));
    EXPECT_EQ(tree.getOr("devices.00:0A:1B:2C:3D:4E.ip_settings.ip_address", ""), "10.0.0.7");
    EXPECT_EQ(tree.getOr("devices.00:0A:1B:2C:3D:4F.type", ""), "corvanet");

    SystemTree::Tree settings;
    settings.put("ip_address", "10.0.0.2");
    tree.putChild("devices.00:0A:1B:2C:3D:4E.ip_settings", settings);
    EXPECT_EQ(childKeys(tree.findChild("devices.00:0A:1B:2C:3D:4E")), std::vector<std::string>{"ip_settings"});
    EXPECT_EQ(tree.getOr("devices.00:0A:1B:2C:3D:4E.ip_settings.ip_address", ""), "10.0.0.2");

    tree.putEntry("system.spread.hosts", "box1.studio", "10.0.0.1");
    tree.putEntry("system.spread.hosts", "box2", "10.0.0.2");
    tree.putEntry("system.spread.hosts", "box1.studio", "10.0.0.9");
    EXPECT_EQ(childKeys(tree.findChild("system.spread.hosts")), (std::vector<std::string>{"box1.studio", "box2"}));
    EXPECT_EQ(tree.findChild("system.spread.hosts")->find("box1.studio")->second.data(), "10.0.0.9");
}

TEST(SystemTree, TypedValuesAreTextAndUnreadableOnesReadAsAbsent)
{
    SystemTree tree;
    tree.put("levelactive", true);
    tree.put("neighbor", false);
    tree.put("hosts", 3);
    tree.put("box", "kbox");  // a literal stays text, it does not turn into a boolean
    tree.put("address", "12abc");
    EXPECT_EQ(tree.getOptional("levelactive"), std::string("true"));
    EXPECT_EQ(tree.getOptionalBool("levelactive"), true);
    EXPECT_EQ(tree.getOptional("neighbor"), std::string("false"));
    EXPECT_EQ(tree.getOptionalBool("neighbor"), false);
    EXPECT_EQ(tree.getOptional("hosts"), std::string("3"));
    EXPECT_EQ(tree.getOptionalInt("hosts"), 3);
    EXPECT_EQ(tree.getOr("box", ""), "kbox");

    EXPECT_FALSE(tree.getOptionalInt("address"));
    EXPECT_EQ(tree.getOr("address", 7), 7);
    EXPECT_FALSE(tree.getOptionalBool("box"));
    EXPECT_FALSE(tree.getOptional("type"));
    EXPECT_FALSE(tree.getOptionalInt("module_positions"));
    EXPECT_EQ(tree.getOr("version", "0.0.0pre0"), "0.0.0pre0");
}
