#include "host/JbpHostProtocol.h"

#include "model/NetManager.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/SimulatedNetwork.h"

#include <gtest/gtest.h>
#include <boost/property_tree/json_parser.hpp>

#include <sstream>

using namespace std::chrono_literals;

namespace {

// A JSON text written back compactly, in its member order.
std::string json(const std::string& text)
{
    std::istringstream input(text.substr(0, text.find('\0')));
    JbpHostProtocol::Tree tree;
    boost::property_tree::read_json(input, tree);
    std::ostringstream output;
    boost::property_tree::write_json(output, tree, false);
    return output.str();
}

// One client connection: a protocol held, as the controller holds it, by a shared pointer.
struct Connection {
    explicit Connection(NetManager& netManager) : protocol(std::make_shared<JbpHostProtocol>(link, &netManager)) {}

    // Hands the request to the protocol on the worker, as its link would; with `leave`, the
    // controller then releases the connection before the worker does anything else.
    void request(const std::string& text, bool leave = false)
    {
        onWorker(
            [&] {
                protocol->handleData(text + '\0', link.get());
                if (leave)
                    protocol.reset();
            },
            10s);
    }
    // Reply `number` (from 1) once it has come, as compact JSON.
    std::string reply(std::size_t number)
    {
        waitUntil([&] { return link->sentTexts().size() >= number; }, 10s);
        const std::vector<std::string> sent = link->sentTexts();
        return sent.size() >= number ? json(sent[number - 1]) : "<none>";
    }

    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
    std::shared_ptr<JbpHostProtocol> protocol;
};

std::string ownChangeTo(const std::string& hostname)
{
    return R"({"type":"set_corvanet_ip_settings","ip_address":"192.168.10.121","subnet_mask":"255.255.255.0",)"
           R"("default_gateway":"192.168.10.1","hostname":")" +
           hostname + "\"}";
}

}  // namespace

// The answer of an own IP change waits in the network manager for seconds; one that waits on
// the configuration-daemon link is dropped with its connection. Neither may reach a connection
// that is gone, and the connections that stay are served as before.
TEST(HostRequestsOnNetwork, AnswersOfAClientThatLeftAreDropped)
{
    SimulatedNetwork net("examples/network.json");
    ASSERT_TRUE(net.connected);
    net.netManager.setOwnChangeDelays(50ms, 50ms);
    // How many messages of this name, with this text in their body, the simulator received.
    auto received = [&](const std::string& msg, const std::string& bodyText) {
        int count = 0;
        for (const std::string& text : net.sim.receivedTexts())
            count += text.find("\nmsg=" + msg + "\n") != std::string::npos && text.find(bodyText) != std::string::npos;
        return count;
    };
    Connection staying(net.netManager);
    staying.request(R"({"type":"has_corvanet_system"})");
    ASSERT_NE(staying.reply(1), "<none>");
    staying.request(ownChangeTo("studio-new"));
    EXPECT_EQ(staying.reply(2),
              json(R"({"system_created":"false","reboot":"true","type":"set_corvanet_ip_settings_response"})"));

    Connection leaving(net.netManager);
    leaving.request(ownChangeTo("studio-two"), true);
    // The change goes on without the client: its "spread set" reply answers nobody, then this
    // box is told its settings and restarts.
    ASSERT_TRUE(waitUntil([&] { return received("spread set", "name=studio-two") == 1; }, 10s));
    ASSERT_TRUE(waitUntil([&] { return received("reboot", "") == 2; }, 10s));

    Connection searching(net.netManager);
    searching.request(R"({"type":"get_devices"})", true);
    // The search read the system again (its name went empty) and the reply came without it.
    ASSERT_TRUE(waitUntil([&] { return net.value("system.name") == "studio-two"; }, 10s));
    drainQueue(10s);

    EXPECT_TRUE(leaving.link->sentTexts().empty());
    EXPECT_TRUE(searching.link->sentTexts().empty());
    staying.request(R"({"type":"get_corvanets"})");
    EXPECT_EQ(staying.reply(3),
              json(R"({"corvanets":[{"current":"true","hostname":"studio-two","ip_address":"192.168.10.121"}],)"
                   R"("type":"get_corvanets_response"})"));
}

// With the configuration daemon away every request ends with its own error reply.
TEST(HostRequestsWithoutDaemon, EveryRequestHasItsErrorReply)
{
    EventLoopThread loop;
    NetManager netManager;
    netManager.connect(loop.io(), "127.0.0.1", LoopbackPeer::unusedPort(), LoopbackPeer::unusedPort());
    netManager.setOwnChangeDelays(10ms, 10ms);
    Connection client(netManager);
    // "%e" stands for the error of the link that is down.
    auto error = [](const std::string& id, const std::string& message = "%e") {
        return R"("error":{"id":")" + id + R"(","message":")" + message + "\"}";
    };
    const std::string errorInfo = R"(,"type":"error_info"})";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"type":"has_corvanet_system"})", R"({"system_exists":"false",)" + error("has_corvanet_system_ack") +
                                                  R"(,"type":"has_corvanet_system_response"})"},
        {R"({"type":"get_corvanet_ip_settings"})", "{" + error("get_corvanet_ip_ack") + errorInfo},
        {R"({"type":"may_change_corvanet_ip_settings"})", R"({"change_allowed":"true",)" +
                                                              error("may_change_corvanet_ip_ack") +
                                                              R"(,"type":"may_change_corvanet_ip_settings_response"})"},
        {R"({"type":"may_use_builder"})",
         R"({"use_allowed":"false",)" + error("may_use_builder_ack") + R"(,"type":"may_use_builder_response"})"},
        {R"({"type":"get_devices","refresh":false})", "{" + error("get_devices_corvanet_ack") + errorInfo},
        {R"({"type":"set_tessora_info","ip_settings":{"mac_address":"00:1E:C0:20:00:11"}})",
         "{" + error("set_tessora_info_corvanet_ack") + errorInfo},
        {R"({"type":"get_corvanets"})", "{" + error("get_corvanets_ack") + errorInfo},
        {R"({"type":"set_tessora_info","ip_settings":{"mac_address":"00:1E:C0:20:00:11","hostname":"x"}})",
         "{" + error("set_tessora_info_ack", "Invalid MAC") + errorInfo},
        {R"({"type":"set_tessora_info","system":{"include":"maybe"}})",
         "{" + error("set_tessora_info", R"(Invalid object: conversion of data to type \"b\" failed)") + errorInfo},
        {R"({"type":"set_corvanet_ip_settings","ip_address":"10.0.0.2","subnet_mask":"255.0.0.0"})",
         "{" + error("set_corvanet_ip", "Invalid object: No such node (default_gateway)") + errorInfo},
        {ownChangeTo("box"), R"({"system_created":"false","reboot":"false",)" +
                                 error("%e", "Set corvanet ip settings error") +
                                 R"(,"type":"set_corvanet_ip_settings_response"})"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        client.request(cases[i].first);
        std::string expected = cases[i].second;
        if (expected.find("%e") != std::string::npos)
            expected.replace(expected.find("%e"), 2, ConfClientProtocol::notConnectedText);
        EXPECT_EQ(client.reply(i + 1), json(expected));
    }
    drainQueue(10s);
    EXPECT_EQ(client.link->sentTexts().size(), cases.size());
}
