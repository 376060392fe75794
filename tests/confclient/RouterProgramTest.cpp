#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"

using RouterProgram = ConfLink;

// A bad status fails the upload without moving on; a request without a status counts as good.
TEST_F(RouterProgram, RecordsTravelAsTheRoutersAskAndTheEndReportsSuccess)
{
    const std::string failed = "Failed to initialise the Tessora";
    auto outcome = std::make_shared<RecordingCommand>();
    protocol->setRouterStartUpPause(std::chrono::milliseconds(50));
    auto programGet = [&](const std::string& router, const std::string& body) {
        receive(reply("tessora@" + router, "program get", body), direct());
    };
    auto record = [](const std::string& router, const std::string& line) {
        return sent("tessora@" + router, "program set", "line=" + line + "\n");
    };

    protocol->sendRouterProgram("0A", outcome);
    EXPECT_EQ(directSent(), record("0A", ":020000040040BA"));
    programGet("0A", "status=busy\n");
    EXPECT_EQ(outcome->received(), Texts{failed});
    programGet("0B", "");
    EXPECT_EQ(directSent(), record("0B", ":0303D6000100051E"));
    programGet("0A", "status=ok\n");
    EXPECT_EQ(directSent(), record("0A", ":00000001FF"));
    EXPECT_EQ(outcome->received(), Texts{failed});
    // The router starts its new program before success is reported.
    const auto uploaded = std::chrono::steady_clock::now();
    programGet("0A", "status=ok\n");
    EXPECT_GE(std::chrono::steady_clock::now() - uploaded, std::chrono::milliseconds(50));
    EXPECT_EQ(outcome->received(), (Texts{failed, ""}));

    protocol->sendRouterProgram("0C", outcome);
    EXPECT_EQ(directSent(), record("0C", ":020000040040BA"));
    programGet("0C", "");
    EXPECT_EQ(directSent(), record("0C", ":0303D6000100051E"));
}
