#include "ConnectionCaps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Connections {
    std::shared_ptr<ConnectionCaps> caps = std::make_shared<ConnectionCaps>(4, 2);
    std::vector<std::string> closed;

    std::optional<ConnectionCaps::Ticket> open(const std::string& client, const std::string& name, bool capped = true)
    {
        return caps->admit(client, capped, [this, name] { closed.push_back(name); });
    }
};

}  // namespace

TEST(ConnectionCaps, ANewcomerClosesTheConnectionThatWaitedLongestOfItsClientOrOfAllButNoBridge)
{
    Connections connections;
    auto a1 = connections.open("a", "a1");
    auto a2 = connections.open("a", "a2");
    a1->touch();  // a2 has waited longest now
    auto a3 = connections.open("a", "a3");
    EXPECT_EQ(connections.closed, std::vector<std::string>{"a2"});
    a2.reset();  // its connection ends: nothing counted twice
    auto proxy1 = connections.open("proxy", "p1", false);
    auto proxy2 = connections.open("proxy", "p2", false);
    EXPECT_EQ(connections.caps->open(), 4u);
    proxy2->keep();  // a bridge
    auto proxy3 = connections.open("proxy", "p3", false);  // the total is reached: the longest waiting of all
    EXPECT_EQ(connections.closed, (std::vector<std::string>{"a2", "a1"}));
    a1.reset();
    a3->keep();
    auto proxy4 = connections.open("proxy", "p4", false);
    auto proxy5 = connections.open("proxy", "p5", false);
    EXPECT_EQ(connections.closed, (std::vector<std::string>{"a2", "a1", "p1", "p3"}));
    // Nothing but bridges: the newcomer is refused.
    proxy4->keep();
    proxy5->keep();
    EXPECT_FALSE(connections.open("b", "b1"));
    EXPECT_EQ(connections.caps->open(), 4u);
}
