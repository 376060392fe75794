#include "host/JbpHostProtocol.h"

#include "confclient/ConfClientProtocol.h"
#include "model/NetManager.h"
#include "support/EventLoopThread.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/WorkerQueue.h"

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
}  // namespace

// Every request has its own error reply: a malformed one at once, the others with the daemon away.
TEST(HostRequests, EveryRequestHasItsErrorReply)
{
    EventLoopThread loop;
    NetManager netManager;
    netManager.connect(loop.io(), "127.0.0.1", LoopbackPeer::unusedPort(), LoopbackPeer::unusedPort());
    netManager.setOwnChangeDelays(10ms, 10ms);
    auto link = std::make_shared<RecordingLink>();
    auto protocol = std::make_shared<JbpHostProtocol>(link, &netManager);
    struct Case {
        std::string request, fields, id, type, message = ConfClientProtocol::notConnectedText;
    };
    const std::string tessora = R"("type":"set_tessora_info","ip_settings":{"mac_address":"00:1E:C0:20:00:11")";
    const Case cases[] = {
        {R"("type":"has_corvanet_system")", R"("system_exists":"false",)", "has_corvanet_system_ack",
         "has_corvanet_system_response"},
        {R"("type":"get_corvanet_ip_settings")", "", "get_corvanet_ip_ack", "error_info"},
        {R"("type":"may_change_corvanet_ip_settings")", R"("change_allowed":"true",)", "may_change_corvanet_ip_ack",
         "may_change_corvanet_ip_settings_response"},
        {R"("type":"may_use_builder")", R"("use_allowed":"false",)", "may_use_builder_ack",
         "may_use_builder_response"},
        {R"("type":"get_devices","refresh":false)", "", "get_devices_corvanet_ack", "error_info"},
        {tessora + "}", "", "set_tessora_info_corvanet_ack", "error_info"},
        {R"("type":"get_corvanets")", "", "get_corvanets_ack", "error_info"},
        {tessora + R"(,"hostname":"x"})", "", "set_tessora_info_ack", "error_info", "Invalid MAC"},
        {tessora + R"(},"system":{"include":"maybe"})", "", "set_tessora_info", "error_info",
         R"(Invalid object: conversion of data to type \"b\" failed)"},
        {R"("type":"set_corvanet_ip_settings","ip_address":"192.168.10.121")", "", "set_corvanet_ip", "error_info",
         "Invalid object: No such node (subnet_mask)"},
        {R"("type":"set_corvanet_ip_settings","ip_address":"192.168.10.121","subnet_mask":"255.255.255.0",)"
         R"("default_gateway":"192.168.10.1","hostname":"box")",
         R"("system_created":"false","reboot":"false",)", ConfClientProtocol::notConnectedText,
         "set_corvanet_ip_settings_response", "Set corvanet ip settings error"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.request);
        onWorker([&] { protocol->handleData("{" + c.request + "}" + '\0', link.get()); });
        ASSERT_TRUE(waitUntil([&] { return link->sentTexts().size() > i; }, 10s));
        EXPECT_EQ(json(link->sentTexts()[i]), json("{" + c.fields + R"("error":{"id":")" + c.id + R"(","message":")" +
                                                   c.message + R"("},"type":")" + c.type + "\"}"));
    }
    drainQueue(10s);
    EXPECT_EQ(link->sentTexts().size(), std::size(cases));
}
