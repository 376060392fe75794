#include "host/JbpHostProtocol.h"

#include "model/NetManager.h"
#include "support/EventLoopThread.h"
#include "support/RunningController.h"
#include "support/SimulatorProcess.h"
#include "support/Wait.h"
#include "support/WorkerQueue.h"
#include "transport/Interface.h"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>

#include <mutex>
#include <sstream>

using Tree = JbpHostProtocol::Tree;
using namespace std::chrono_literals;

namespace {

Tree parseJson(const std::string& text)
{
    std::istringstream input(text);
    Tree tree;
    boost::property_tree::read_json(input, tree);
    return tree;
}

std::string asJson(const Tree& tree)
{
    std::ostringstream text;
    boost::property_tree::write_json(text, tree, false);
    return text.str();
}

// A link that keeps the replies its protocol writes (on the worker) for the test to read.
class RecordingLink : public Interface {
public:
    void close() override {}
    void open() override {}
    void send(const std::string& data) override
    {
        std::lock_guard<std::mutex> guard(lock);
        sent.push_back(data.substr(0, data.find('\0')));
    }
    // The replies so far, written back as compact JSON in their member order.
    std::vector<std::string> replies()
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> texts;
        for (const std::string& reply : sent)
            texts.push_back(asJson(parseJson(reply)));
        return texts;
    }

private:
    std::mutex lock;
    std::vector<std::string> sent;
};

// One client connection: a protocol held, as the controller holds it, by a shared pointer.
struct Connection {
    explicit Connection(NetManager& netManager)
        : protocol(std::make_shared<JbpHostProtocol>(link, &netManager))
    {
    }
    // Hands the request to the protocol on the worker, as its link would.
    void request(const std::string& json)
    {
        onWorker([&] { return protocol->handleData(json + '\0', link.get()), true; }, 10s);
    }
    // Sends the request and lets the controller release the connection before the worker
    // does anything else, as when the client leaves right after asking.
    void requestAndLeave(const std::string& json)
    {
        onWorker([&] {
            protocol->handleData(json + '\0', link.get());
            protocol.reset();
            return true;
        }, 10s);
    }
    bool awaitReplies(std::size_t count) { return waitUntil([&] { return link->replies().size() >= count; }, 10s); }

    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
    std::shared_ptr<JbpHostProtocol> protocol;
};

std::string json(const std::string& text) { return asJson(parseJson(text)); }

const char* const ownChange = R"({"type":"set_corvanet_ip_settings","ip_address":"192.168.10.121",)"
                              R"("subnet_mask":"255.255.255.0","default_gateway":"192.168.10.1","hostname":"%s"})";

std::string ownChangeTo(const std::string& hostname)
{
    std::string text = ownChange;
    return text.replace(text.find("%s"), 2, hostname);
}

class HostRequestsOnNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        netManager.connect(loop.io(), "127.0.0.1", simulator.mainPort(), simulator.directPort());
        netManager.setOwnChangeDelays(50ms, 50ms);
    }
    void TearDown() override
    {
        drainQueue(10s);
        drainQueue(10s);
    }
    // How many messages of this name, with this text in their body, the simulator received.
    int received(const std::string& msg, const std::string& bodyText)
    {
        int count = 0;
        for (const std::string& text : simulator.receivedTexts())
            count += text.find("\nmsg=" + msg + "\n") != std::string::npos && text.find(bodyText) != std::string::npos;
        return count;
    }
    std::string systemName()
    {
        return onWorker([&] { return netManager.tree().getOr("system.name", ""); });
    }

    SimulatorProcess simulator{"examples/network.json"};
    EventLoopThread loop;
    NetManager netManager;
};

// The answer of an own IP change waits in the network manager for seconds; one that waits on
// the configuration-daemon link is dropped with its connection. Neither may reach a connection
// that is gone, and the connections that stay are served as before.
TEST_F(HostRequestsOnNetwork, AnswersOfAClientThatLeftAreDropped)
{
    Connection staying(netManager);
    staying.request(R"({"type":"has_corvanet_system"})");
    ASSERT_TRUE(staying.awaitReplies(1));
    staying.request(ownChangeTo("studio-new"));
    ASSERT_TRUE(staying.awaitReplies(2));
    EXPECT_EQ(staying.link->replies()[1],
              json(R"({"system_created":"false","reboot":"true","type":"set_corvanet_ip_settings_response"})"));

    Connection leaving(netManager);
    leaving.requestAndLeave(ownChangeTo("studio-two"));
    // The change goes on without the client: its "spread set" reply answers nobody, then this
    // box is told its settings and restarts.
    ASSERT_TRUE(waitUntil([&] { return received("spread set", "name=studio-two") == 1; }, 10s));
    ASSERT_TRUE(waitUntil([&] { return received("reboot", "") == 2; }, 10s));

    Connection searching(netManager);
    searching.requestAndLeave(R"({"type":"get_devices"})");
    // The search read the system again (its name went empty) and the reply came without it.
    ASSERT_TRUE(waitUntil([&] { return systemName() == "studio-two"; }, 10s));
    drainQueue(10s);

    EXPECT_TRUE(leaving.link->replies().empty());
    EXPECT_TRUE(searching.link->replies().empty());
    staying.request(R"({"type":"get_corvanets"})");
    ASSERT_TRUE(staying.awaitReplies(3));
    EXPECT_EQ(staying.link->replies()[2],
              json(R"({"corvanets":[{"current":"true","hostname":"studio-two","ip_address":"192.168.10.121"}],)"
                   R"("type":"get_corvanets_response"})"));
}

// With the configuration daemon away every request ends with its own error reply.
TEST(HostRequestsWithoutDaemon, EveryRequestHasItsErrorReply)
{
    EventLoopThread loop;
    NetManager netManager;
    netManager.connect(loop.io(), "127.0.0.1", unusedLoopbackPort(), unusedLoopbackPort());
    netManager.setOwnChangeDelays(10ms, 10ms);
    Connection client(netManager);
    const std::string notConnected = "Not connected to the configuration daemon";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"type":"has_corvanet_system"})",
         R"({"system_exists":"false","error":{"id":"has_corvanet_system_ack","message":"%e"},)"
         R"("type":"has_corvanet_system_response"})"},
        {R"({"type":"get_corvanet_ip_settings"})",
         R"({"error":{"id":"get_corvanet_ip_ack","message":"%e"},"type":"error_info"})"},
        {R"({"type":"may_change_corvanet_ip_settings"})",
         R"({"change_allowed":"true","error":{"id":"may_change_corvanet_ip_ack","message":"%e"},)"
         R"("type":"may_change_corvanet_ip_settings_response"})"},
        {R"({"type":"may_use_builder"})",
         R"({"use_allowed":"false","error":{"id":"may_use_builder_ack","message":"%e"},)"
         R"("type":"may_use_builder_response"})"},
        {R"({"type":"get_devices","refresh":false})",
         R"({"error":{"id":"get_devices_corvanet_ack","message":"%e"},"type":"error_info"})"},
        {R"({"type":"set_tessora_info","ip_settings":{"mac_address":"00:1E:C0:20:00:11"}})",
         R"({"error":{"id":"set_tessora_info_corvanet_ack","message":"%e"},"type":"error_info"})"},
        {R"({"type":"get_corvanets"})", R"({"error":{"id":"get_corvanets_ack","message":"%e"},"type":"error_info"})"},
        {R"({"type":"set_tessora_info","ip_settings":{"mac_address":"00:1E:C0:20:00:11","hostname":"x"}})",
         R"({"error":{"id":"set_tessora_info_ack","message":"Invalid MAC"},"type":"error_info"})"},
        {R"({"type":"set_tessora_info","system":{"include":"maybe"}})",
         R"({"error":{"id":"set_tessora_info","message":"Invalid object: conversion of data to type \"b\" failed"},)"
         R"("type":"error_info"})"},
        {R"({"type":"set_corvanet_ip_settings","ip_address":"10.0.0.2","subnet_mask":"255.0.0.0"})",
         R"x({"error":{"id":"set_corvanet_ip","message":"Invalid object: No such node (default_gateway)"},)x"
         R"("type":"error_info"})"},
        {ownChangeTo("box"),
         R"({"system_created":"false","reboot":"false","error":{"id":"%e","message":"Set corvanet ip settings error"},)"
         R"("type":"set_corvanet_ip_settings_response"})"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        client.request(cases[i].first);
        ASSERT_TRUE(client.awaitReplies(i + 1)) << cases[i].first;
        std::string expected = cases[i].second;
        if (expected.find("%e") != std::string::npos)
            expected.replace(expected.find("%e"), 2, notConnected);
        EXPECT_EQ(client.link->replies()[i], json(expected)) << cases[i].first;
    }
    drainQueue(10s);
    EXPECT_EQ(client.link->replies().size(), cases.size());
}

}  // namespace
