#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfLinkFixture.h"
#include "support/SimulatedNetwork.h"
#include "support/WorkerControl.h"
#include "support/WorkerQueue.h"
#include "transport/MacAddress.h"

#include <chrono>

using Texts = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

// The upload pauses the worker for 3 seconds before it reports success.
constexpr std::chrono::seconds uploadLimit(10);
constexpr const char* videoRouter = "00:1E:C0:20:10:11";
constexpr const char* audioRouter = "00:1E:C0:20:10:21";
constexpr const char* failed = "Failed to initialise the Tessora";

// A network manager connected to the simulator holding tests/data/network-levels.json.
struct SimulatedRouters : SimulatedNetwork {
    explicit SimulatedRouters(const Texts& faults = {}) : SimulatedNetwork("tests/data/network-levels.json", faults) {}
};

// Records each outcome with the time it came.
struct TimedCommand : RecordingCommand {
    void execute(const std::string& text) override
    {
        times.push_back(Clock::now());
        RecordingCommand::execute(text);
    }
    std::vector<Clock::time_point> times;  // read only once the texts are in
};

std::string programGet(const std::string& from, const std::string& body)
{
    return withNul("to=kip@" + readMacAddress() + "\nfrom=tessora@" + from + "\nmsg=program get\n" + body);
}

std::string programSet(const std::string& router, const std::string& record)
{
    return "to=tessora@" + router + "\nfrom=kip@" + readMacAddress() + "\nmsg=program set\nline=" + record + "\n";
}

// An Intel HEX record is sound when its byte count matches its data and all its bytes,
// checksum included, add up to 0 modulo 256.
void expectSoundRecord(const std::string& record)
{
    ASSERT_EQ(record.size() % 2, 1u) << record;
    ASSERT_EQ(record[0], ':');
    unsigned sum = 0;
    std::vector<unsigned> bytes;
    for (std::size_t at = 1; at < record.size(); at += 2)
        bytes.push_back(static_cast<unsigned>(std::stoul(record.substr(at, 2), nullptr, 16)));
    for (unsigned byte : bytes)
        sum += byte;
    EXPECT_EQ(bytes.at(0), bytes.size() - 5) << record;
    EXPECT_EQ(sum % 256, 0u) << record;
}

}  // namespace

TEST(RouterProgram, FailedStepThenTheWholeUploadToTheSimulatedRouter)
{
    SimulatedRouters routers;
    ASSERT_TRUE(routers.connected);
    auto outcome = std::make_shared<TimedCommand>();
    const Clock::time_point start = Clock::now();
    routers.withProtocol([&](ConfClientProtocol& protocol) {
        protocol.sendRouterProgram(videoRouter, outcome);
        // The router's own acknowledgement of record 1 is handled after this one.
        protocol.handleData(programGet(videoRouter, "status=busy\n"), protocol.directInterface().get());
    });
    ASSERT_TRUE(waitUntil([&] { return outcome->received().size() == 2; }, uploadLimit));
    EXPECT_EQ(outcome->received(), (Texts{failed, ""}));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(outcome->times[1] - start).count(), 3000);

    const Texts records = {":020000040040BA", ":0303D6000100051E", ":00000001FF"};
    EXPECT_EQ(routers.sim.receivedTexts(), (Texts{programSet(videoRouter, records[0]),
                                                  programSet(videoRouter, records[1]),
                                                  programSet(videoRouter, records[2])}));
    for (const std::string& record : records)
        expectSoundRecord(record);
    for (const auto& entry : routers.sim.logEntries())
        EXPECT_FALSE(entry.get_child_optional("problems")) << entry.get<std::string>("text", "");
}

TEST(RouterProgram, RejectedRecordStopsTheUploadAndTheNextRequestIsAnsweredByItsSender)
{
    SimulatedRouters routers({"--fail", "program set=checksum error"});
    ASSERT_TRUE(routers.connected);
    auto outcome = std::make_shared<RecordingCommand>();
    routers.withProtocol([&](ConfClientProtocol& protocol) { protocol.sendRouterProgram(videoRouter, outcome); });
    ASSERT_TRUE(waitUntil([&] { return outcome->received().size() == 1; }, uploadLimit));
    EXPECT_EQ(outcome->received(), Texts{failed});
    EXPECT_EQ(routers.sim.receivedTexts(), Texts{programSet(videoRouter, ":020000040040BA")});

    // A request without a status counts as good: the step left unchanged sends record 2.
    routers.withProtocol([&](ConfClientProtocol& protocol) {
        protocol.handleData(programGet(audioRouter, ""), protocol.directInterface().get());
    });
    ASSERT_TRUE(waitUntil([&] { return outcome->received().size() == 2; }, uploadLimit));
    EXPECT_EQ(outcome->received(), (Texts{failed, failed}));
    EXPECT_EQ(routers.sim.receivedTexts(), (Texts{programSet(videoRouter, ":020000040040BA"),
                                                  programSet(audioRouter, ":0303D6000100051E")}));
}
