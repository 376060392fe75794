#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "support/SimulatedNetwork.h"

using namespace std::chrono_literals;

namespace {

// The upload pauses the worker for 3 seconds before it reports success.
constexpr std::chrono::seconds uploadLimit(10);
const std::string videoRouter = "00:1E:C0:20:10:11";
const std::string audioRouter = "00:1E:C0:20:10:21";
const std::string failed = "Failed to initialise the Tessora";
const Texts records = {":020000040040BA", ":0303D6000100051E", ":00000001FF"};

std::string programGet(const std::string& from, const std::string& body)
{
    return withNul(message("kip@" + readMacAddress(), "tessora@" + from, "program get", body));
}
std::string programSet(const std::string& router, const std::string& record)
{
    return fromThisMachine("tessora@" + router, "program set", "line=" + record + "\n");
}

}  // namespace

// Records travel as the simulated router asks for them; it checks each (see "problems").
TEST(RouterProgram, FailedStepThenTheWholeUploadToTheSimulatedRouter)
{
    SimulatedNetwork routers("tests/data/network-levels.json");
    ASSERT_TRUE(routers.connected);
    auto outcome = std::make_shared<RecordingCommand>();
    const auto start = std::chrono::steady_clock::now();
    routers.withProtocol([&](ConfClientProtocol& protocol) {
        protocol.sendRouterProgram(videoRouter, outcome);
        // The router's own acknowledgement of record 1 is handled after this one.
        protocol.handleData(programGet(videoRouter, "status=busy\n"), protocol.directInterface().get());
    });
    ASSERT_TRUE(outcome->waitFor(2, uploadLimit));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(outcome->received(), (Texts{failed, ""}));
    EXPECT_EQ(routers.sim.receivedTexts(),
              (Texts{programSet(videoRouter, records[0]), programSet(videoRouter, records[1]),
                     programSet(videoRouter, records[2])}));
    for (const auto& entry : routers.sim.logEntries())
        EXPECT_FALSE(entry.get_child_optional("problems")) << entry.get<std::string>("text", "");
}

TEST(RouterProgram, RejectedRecordStopsTheUploadAndTheNextRequestIsAnsweredByItsSender)
{
    SimulatedNetwork routers("tests/data/network-levels.json", {"--fail", "program set=checksum error"});
    ASSERT_TRUE(routers.connected);
    auto outcome = std::make_shared<RecordingCommand>();
    routers.withProtocol([&](ConfClientProtocol& protocol) { protocol.sendRouterProgram(videoRouter, outcome); });
    ASSERT_TRUE(outcome->waitFor(1, uploadLimit));
    EXPECT_EQ(outcome->received(), Texts{failed});
    EXPECT_EQ(routers.sim.receivedTexts(), Texts{programSet(videoRouter, records[0])});

    // A request without a status counts as good: the step left unchanged sends record 2.
    routers.withProtocol([&](ConfClientProtocol& protocol) {
        protocol.handleData(programGet(audioRouter, ""), protocol.directInterface().get());
    });
    ASSERT_TRUE(outcome->waitFor(2, uploadLimit));
    EXPECT_EQ(outcome->received(), (Texts{failed, failed}));
    EXPECT_EQ(routers.sim.receivedTexts(),
              (Texts{programSet(videoRouter, records[0]), programSet(audioRouter, records[1])}));
}
