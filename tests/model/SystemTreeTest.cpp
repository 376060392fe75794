#include "model/SystemTree.h"

#include "support/TreeText.h"

#include <gtest/gtest.h>

TEST(SystemTree, PutAddressesMacKeysReplacesValuesAndAppendsChildren)
{
    SystemTree tree;
    tree.put("devices.00:0A:1B:2C:3D:4F.type", "tessora");
    tree.put("devices.00:0A:1B:2C:3D:4E.ip_settings.ip_address", "10.0.0.7");
    tree.put("devices.00:0A:1B:2C:3D:4F.type", "corvanet");
    EXPECT_EQ(leaves(tree, "devices"),
              "00:0A:1B:2C:3D:4F.type=corvanet 00:0A:1B:2C:3D:4E.ip_settings.ip_address=10.0.0.7");

    tree.putEntry("system.spread.hosts", "box1.studio", "10.0.0.1");
    tree.putEntry("system.spread.hosts", "box2", "10.0.0.2");
    tree.putEntry("system.spread.hosts", "box1.studio", "10.0.0.9");
    EXPECT_EQ(leaves(tree, "system.spread.hosts"), "box1.studio=10.0.0.9 box2=10.0.0.2");
}

TEST(SystemTree, TypedValuesAreTextAndUnreadableOnesReadAsAbsent)
{
    SystemTree tree;
    tree.put("levelactive", true);
    tree.put("hosts", 3);
    tree.put("box", "kbox");  // a literal stays text, it does not turn into a boolean
    tree.put("address", "12abc");
    EXPECT_EQ(leaves(&tree.root()), "levelactive=true hosts=3 box=kbox address=12abc");
    EXPECT_EQ(tree.getOptionalBool("levelactive"), true);
    EXPECT_EQ(tree.getOptionalInt("hosts"), 3);
    EXPECT_FALSE(tree.getOptionalInt("address"));
    EXPECT_EQ(tree.getOr("address", 7), 7);
    EXPECT_FALSE(tree.getOptionalBool("box"));
    EXPECT_FALSE(tree.getOptional("type"));
}
