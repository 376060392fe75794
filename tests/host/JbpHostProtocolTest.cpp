#include "host/JbpHostProtocol.h"

#include "core/CommandSingleton.h"
#include "model/NetManager.h"
#include "support/LogCapture.h"
#include "support/Recording.h"

#include <gtest/gtest.h>
#include <boost/property_tree/json_parser.hpp>

#include <sstream>

using Tree = JbpHostProtocol::Tree;
using namespace std::string_literals;

namespace {

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

class JbpHostProtocolTest : public ::testing::Test {
protected:
    void receive(const std::string& bytes) { protocol->handleData(bytes, link.get()); }
    std::vector<std::string> sent() { return link->sentTexts(); }
    // The messages of the replies so far, each an "error_info" about "parse_object".
    std::vector<std::string> parseErrors()
    {
        std::vector<std::string> messages;
        for (const std::string& wire : sent()) {
            Tree reply = parseReply(wire);
            EXPECT_EQ(reply.get("type", "") + " " + reply.get("error.id", ""), "error_info parse_object") << wire;
            messages.push_back(reply.get("error.message", ""));
        }
        return messages;
    }

    NetManager netManager;
    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
    std::shared_ptr<JbpHostProtocol> protocol = std::make_shared<JbpHostProtocol>(link, &netManager);
};

}  // namespace

// Empty texts between requests are ignored.
TEST_F(JbpHostProtocolTest, CutsRequestsAtNulAcrossDeliveries)
{
    receive("{\"type\":\"a\"}\0{\"type\""s);
    receive(":\"c\"}\0\0\0"s);
    EXPECT_EQ(parseErrors(), (std::vector<std::string>{"Unsupported type: a", "Unsupported type: c"}));
}

// A web page can make a browser POST to this port with requests in the body: a connection whose
// first bytes are an HTTP request line, or whose request holds a Host or Origin line, is closed
// and nothing more it sent is handled. Malformed JSON is still answered.
TEST_F(JbpHostProtocolTest, ConnectionThatSpeaksHttpIsClosedBeforeAnythingMoreIsHandled)
{
    const std::string request = "{\"type\":\"a\"}\0"s;
    const struct {
        std::string bytes;
        std::size_t answered;
        bool closed;
    } rows[] = {
        {"POST / HTTP/1.1\r\nHost: 127.0.0.1:3971\r\nContent-Type: text/plain\r\n\r\n\0"s + request, 0, true},
        {"GET /x?y HTTP/1.0\0"s + request, 0, true},
        {request + "junk\r\norigin: http://elsewhere.example\r\n\0"s + request, 1, true},
        {request + "\nHOST:x\0"s + request, 1, true},
        {"\0GET / HTTP/1.1\0"s + request + "{\n\"host:\": 1}\0"s, 3, false},
        {"GET\0"s + request, 2, false},
    };
    for (const auto& row : rows) {
        link = std::make_shared<RecordingLink>();
        protocol = std::make_shared<JbpHostProtocol>(link, &netManager);
        receive(row.bytes);
        receive(request);
        EXPECT_EQ(sent().size(), row.answered + (row.closed ? 0 : 1)) << row.bytes;
        EXPECT_EQ(link->closed, row.closed) << row.bytes;
    }
}

TEST_F(JbpHostProtocolTest, AnswersMalformedAndHostileRequestsWithParseErrors)
{
    receive("{\0{}\0[1,2]\0\"text\"\0{\"type\":{\"x\":1}}\0"s);
    receive(std::string(200000, '[') + '\0');
    // Nesting within reason parses; brackets inside strings do not count.
    receive("{\"type\":\"" + std::string(100, '[') + "\",\"a\":{\"b\":{\"c\":[[1]]}}}" + '\0');
    // Invalid UTF-8 is echoed as U+FFFD, so the reply stays valid UTF-8.
    receive("{\"type\":\"\xC0\x80\xE2\x82\xAC\"}\0{\"type\":\"\xC3\x28\xFF\"}\0"s);
    // A mebibyte of tiny values would take 160 MiB as a tree: refused unread.
    std::string wide = "[0";
    while (wide.size() < (1 << 20) - 2)
        wide += ",0";
    receive(wide + "]\0"s);
    const std::vector<std::string> errors = parseErrors();
    ASSERT_EQ(errors.size(), 10u);
    EXPECT_EQ(errors[9], "Invalid object format: too many values");
    const std::string invalid = "Invalid object format: ";
    EXPECT_EQ(errors[0].rfind(invalid, 0), 0u);
    EXPECT_GT(errors[0].size(), invalid.size());
    EXPECT_EQ(parseReply(sent()[0]).get("error.bad_object", ""), "{");
    EXPECT_EQ(std::vector<std::string>(errors.begin() + 1, errors.begin() + 6),
              (std::vector<std::string>{"Unsupported type: null", "Unsupported type: null", "Unsupported type: null",
                                        "Unsupported type: ", invalid + "objects nested too deeply"}));
    EXPECT_EQ(errors[6], "Unsupported type: " + std::string(100, '['));
    EXPECT_EQ(errors[7], "Unsupported type: \xEF\xBF\xBD\xEF\xBF\xBD\xE2\x82\xAC");
    EXPECT_EQ(parseReply(sent()[8]).get("error.bad_object", ""), "{\"type\":\"\xEF\xBF\xBD(\xEF\xBF\xBD\"}");
}

// An unexpected failure of a request is the command worker's to report; the requests behind
// it on the same connection are still served.
TEST_F(JbpHostProtocolTest, FailureReachesTheWorkerAndTheRequestsBehindItAreServed)
{
    LogCapture capture;
    link->failNextSend = true;
    auto deliver = commandOf([&](const std::string& bytes) { receive(bytes); });
    CommandSingleton::instance().enqueue(deliver, "{\"type\":\"a\"}\0{\"type\":\"b\"}\0"s);
    ASSERT_TRUE(waitUntil([&] { return sent().size() == 1; }));
    EXPECT_EQ(parseErrors(), std::vector<std::string>{"Unsupported type: b"});
    EXPECT_EQ(capture.all(),
              std::vector<std::string>{LogCapture::record(2, "Command execution exception: link broke")});
}

TEST_F(JbpHostProtocolTest, WritesRepliesAsIndentedJsonWithTheirType)
{
    Tree reply;
    reply.put("system_exists", true);
    reply.put("corvanet.address", 3);
    protocol->sendReply("has_corvanet_system_response", reply);
    // A "type" member already there is replaced where it stands.
    Tree stale;
    stale.put("type", "stale");
    stale.put("use_allowed", false);
    protocol->sendReply("may_use_builder_response", stale);
    EXPECT_EQ(sent(),
              (std::vector<std::string>{
                  "{\n    \"system_exists\": \"true\",\n    \"corvanet\": {\n        \"address\": \"3\"\n    },\n"
                  "    \"type\": \"has_corvanet_system_response\"\n}\n\0"s,
                  "{\n    \"type\": \"may_use_builder_response\",\n    \"use_allowed\": \"false\"\n}\n\0"s}));
}

TEST_F(JbpHostProtocolTest, ClosingReleasesTheProtocolWhichThenNoLongerReceives)
{
    link->setProtocol(protocol.get());
    protocol->setCloseCommand(commandOf([&](const std::string& reason) {
        EXPECT_EQ(reason, "Interface closed connection");
        EXPECT_FALSE(protocol->isConnected());
        protocol.reset();  // as the controller does when it purges the connection
    }));
    JbpHostProtocol* closing = protocol.get();
    closing->handleClosed("End of file");
    EXPECT_FALSE(protocol);
    link->deliverData("{}\0"s);
    EXPECT_TRUE(sent().empty());
}
