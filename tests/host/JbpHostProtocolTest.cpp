#include "host/JbpHostProtocol.h"

#include "model/NetManager.h"
#include "support/LogCapture.h"
#include "support/LoopbackPeer.h"
#include "support/RunningController.h"
#include "transport/Interface.h"

#include <boost/property_tree/json_parser.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>
#include <vector>

using Tree = JbpHostProtocol::Tree;
using namespace std::string_literals;

namespace {
// A link that keeps what the protocol sends.
class RecordingLink : public Interface {
public:
    void close() override {}
    void open() override {}
    void send(const std::string& data) override { sent.push_back(data); }
    std::vector<std::string> sent;
};

// A command that runs an action with its argument.
class ActionCommand : public Command {
public:
    explicit ActionCommand(std::function<void(const std::string&)> action) : action(std::move(action)) {}
    void execute(const std::string& argument) override { action(argument); }

private:
    std::function<void(const std::string&)> action;
};

// One reply as it crossed the wire: JSON text ended by exactly one NUL.
Tree parseReply(const std::string& wire)
{
    EXPECT_FALSE(wire.empty());
    EXPECT_EQ(wire.find('\0'), wire.size() - 1) << wire;
    std::istringstream input(wire.substr(0, wire.find('\0')));
    Tree reply;
    boost::property_tree::read_json(input, reply);
    return reply;
}

void expectError(const std::string& wire, const std::string& id, const std::string& message)
{
    Tree reply = parseReply(wire);
    EXPECT_EQ(reply.get("type", ""), "error_info");
    EXPECT_EQ(reply.get("error.id", ""), id);
    EXPECT_EQ(reply.get("error.message", ""), message);
}

class JbpHostProtocolTest : public ::testing::Test {
protected:
    void receive(const std::string& bytes) { protocol->handleData(bytes, link.get()); }
    const std::vector<std::string>& sent() const { return link->sent; }

    NetManager netManager;
    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
    std::shared_ptr<JbpHostProtocol> protocol = std::make_shared<JbpHostProtocol>(link, &netManager);
};
}  // namespace

TEST_F(JbpHostProtocolTest, CutsRequestsAtNulAcrossDeliveries)
{
    receive("{\"type\":\"a\"}\0{\"type\":\"b\"}\0{\"type\""s);
    ASSERT_EQ(sent().size(), 2u);
    expectError(sent()[0], "parse_object", "Unsupported type: a");
    expectError(sent()[1], "parse_object", "Unsupported type: b");

    receive(":\"c");
    receive("\"}");
    EXPECT_EQ(sent().size(), 2u);
    receive("\0"s);
    ASSERT_EQ(sent().size(), 3u);
    expectError(sent()[2], "parse_object", "Unsupported type: c");

    // Empty texts between NULs are ignored.
    receive("\0\0\0"s);
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(JbpHostProtocolTest, AnswersMalformedRequestsWithParseErrors)
{
    receive("{\0{}\0[1,2]\0\"text\"\0{\"type\":{\"x\":1}}\0"s);
    ASSERT_EQ(sent().size(), 5u);

    Tree brace = parseReply(sent()[0]);
    EXPECT_EQ(brace.get("type", ""), "error_info");
    EXPECT_EQ(brace.get("error.id", ""), "parse_object");
    EXPECT_EQ(brace.get("error.message", "").rfind("Invalid object format: ", 0), 0u);
    EXPECT_GT(brace.get("error.message", "").size(), std::string("Invalid object format: ").size());
    EXPECT_EQ(brace.get("error.bad_object", ""), "{");

    expectError(sent()[1], "parse_object", "Unsupported type: null");
    expectError(sent()[2], "parse_object", "Unsupported type: null");
    expectError(sent()[3], "parse_object", "Unsupported type: null");
    expectError(sent()[4], "parse_object", "Unsupported type: ");
}

TEST_F(JbpHostProtocolTest, SurvivesHostileTexts)
{
    std::string deep(200000, '[');
    receive(deep + '\0');
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(parseReply(sent()[0]).get("error.id", ""), "parse_object");

    // Nesting within reason parses; brackets inside strings do not count.
    receive("{\"type\":\"" + std::string(100, '[') + "\",\"a\":{\"b\":{\"c\":[[1]]}}}" + '\0');
    ASSERT_EQ(sent().size(), 2u);
    expectError(sent()[1], "parse_object", "Unsupported type: " + std::string(100, '['));

    // Invalid UTF-8 is echoed as U+FFFD, so the reply stays valid UTF-8.
    receive("{\"type\":\"\xC3\x28\xFF\"}\0"s);
    ASSERT_EQ(sent().size(), 3u);
    EXPECT_EQ(parseReply(sent()[2]).get("error.bad_object", ""),
              "{\"type\":\"\xEF\xBF\xBD(\xEF\xBF\xBD\"}");
    receive("{\"type\":\"\xC0\x80\xE2\x82\xAC\"}\0"s);
    ASSERT_EQ(sent().size(), 4u);
    expectError(sent()[3], "parse_object", "Unsupported type: \xEF\xBF\xBD\xEF\xBF\xBD\xE2\x82\xAC");
}

TEST_F(JbpHostProtocolTest, WritesRepliesAsIndentedJsonWithTheirType)
{
    Tree reply;
    reply.put("system_exists", true);
    reply.put("corvanet.address", 3);
    protocol->sendReply("has_corvanet_system_response", reply);
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0], "{\n"
                         "    \"system_exists\": \"true\",\n"
                         "    \"corvanet\": {\n"
                         "        \"address\": \"3\"\n"
                         "    },\n"
                         "    \"type\": \"has_corvanet_system_response\"\n"
                         "}\n\0"s);

    // A "type" member already there is replaced where it stands.
    Tree stale;
    stale.put("type", "stale");
    stale.put("use_allowed", false);
    protocol->sendReply("may_use_builder_response", stale);
    EXPECT_EQ(sent()[1], "{\n"
                         "    \"type\": \"may_use_builder_response\",\n"
                         "    \"use_allowed\": \"false\"\n"
                         "}\n\0"s);
}

TEST_F(JbpHostProtocolTest, ClosingReleasesTheProtocolWhichThenNoLongerReceives)
{
    link->setProtocol(protocol.get());
    std::vector<std::string> reasons;
    protocol->setCloseCommand(std::make_shared<ActionCommand>([&](const std::string& reason) {
        reasons.push_back(reason);
        EXPECT_FALSE(protocol->isConnected());
        protocol.reset();  // as the controller does when it purges the connection
    }));

    JbpHostProtocol* closing = protocol.get();
    closing->handleClosed("End of file");
    EXPECT_EQ(reasons, std::vector<std::string>{"Interface closed connection"});

    link->deliverData("{}\0"s);
    EXPECT_TRUE(sent().empty());
}

namespace {
// A client of the running controller, with whole replies as parsed trees.
class Client {
public:
    explicit Client(int port) : peer(LoopbackPeer::connectedTo(port)) {}

    void send(const std::string& bytes) { peer.send(bytes); }
    Tree reply()
    {
        std::string wire = peer.receiveMessage();
        if (wire.empty() || wire.back() != '\0')
            throw std::runtime_error("no reply within the limit");
        return parseReply(wire);
    }
    // Skips replies until one with this message comes; false when none comes in time.
    bool awaitMessage(const std::string& message)
    {
        for (int replies = 0; replies < 100; ++replies)
            if (reply().get("error.message", "") == message)
                return true;
        return false;
    }

private:
    LoopbackPeer peer;
};

// A request that is answered without the configuration daemon.
const std::string incompleteRequest = "{\"type\":\"set_corvanet_ip_settings\"}\0"s;
const std::string incompleteAnswer = "Invalid object: No such node (ip_address)";

void expectServed(int port)
{
    Client other(port);
    other.send(incompleteRequest);
    Tree reply = other.reply();
    EXPECT_EQ(reply.get("type", ""), "error_info");
    EXPECT_EQ(reply.get("error.message", ""), incompleteAnswer);
}

class HostConnectionTest : public ::testing::Test {
protected:
    RunningController daemon;
};
}  // namespace

TEST_F(HostConnectionTest, ClientGetsErrorRepliesAndStaysConnected)
{
    Client client(daemon.port());
    client.send("{\0"s);
    Tree reply = client.reply();
    EXPECT_EQ(reply.get("error.id", ""), "parse_object");
    EXPECT_EQ(reply.get("error.bad_object", ""), "{");

    client.send("{\"type\":\"reboot\"}\0{}\0"s);
    EXPECT_EQ(client.reply().get("error.message", ""), "Unsupported type: reboot");
    EXPECT_EQ(client.reply().get("error.message", ""), "Unsupported type: null");
    EXPECT_EQ(daemon.connectionCount(), 1u);
}

TEST_F(HostConnectionTest, AbuseOfOneClientLeavesTheOthersServed)
{
    Client lone(daemon.port());
    lone.send("\0"s);
    expectServed(daemon.port());

    Client trickle(daemon.port());
    for (char byte : incompleteRequest)
        trickle.send(std::string(1, byte));
    EXPECT_EQ(trickle.reply().get("error.message", ""), incompleteAnswer);
    expectServed(daemon.port());

    Client garbage(daemon.port());
    std::mt19937 random(3971);
    std::string bytes(8192, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    garbage.send(bytes + '\0' + std::string(100000, '[') + '\0' + "{\"type\":\"after\"}" + '\0');
    EXPECT_TRUE(garbage.awaitMessage("Unsupported type: after"));
    expectServed(daemon.port());

    // The client that sent the lone NUL is still served too.
    lone.send(incompleteRequest);
    EXPECT_EQ(lone.reply().get("error.message", ""), incompleteAnswer);
}

TEST_F(HostConnectionTest, EndlessRequestClosesOnlyItsOwnConnection)
{
    LogCapture capture;
    LoopbackPeer flood = LoopbackPeer::connectedTo(daemon.port());
    flood.send(std::string((1 << 20) + 4096, 'x'));
    EXPECT_TRUE(flood.closedByPeer(std::chrono::seconds(10)));
    ASSERT_TRUE(capture.waitForCount(1));
    EXPECT_NE(capture.all()[0].find("Host request longer than 1048576 bytes: connection closed"), std::string::npos);
    expectServed(daemon.port());
}

TEST_F(HostConnectionTest, ClientsThatLeaveAreReleased)
{
    {
        Client first(daemon.port());
        Client second(daemon.port());
        first.send("{\"type\":\"has_corvanet_system\"}\0"s);
        first.reply();
        ASSERT_TRUE(waitUntil([&] { return daemon.connectionCount() == 2; }));
        // The second leaves in the middle of a request.
        second.send("{\"type\":");
    }
    { Client quick(daemon.port()); }
    EXPECT_TRUE(waitUntil([&] { return daemon.connectionCount() == 0; }));
    expectServed(daemon.port());
    EXPECT_TRUE(waitUntil([&] { return daemon.connectionCount() == 0; }));
}
