#include "host/ChangeLog.h"

#include <gtest/gtest.h>

namespace {
std::vector<std::string> results(const ChangeLog& log)
{
    std::vector<std::string> texts;
    for (const ChangeLog::Change& change : log.recent())
        texts.push_back(change.mac + " " + change.result);
    return texts;
}
}  // namespace

TEST(ChangeLog, KeepsTheLastTwentyEachSettledOnceWithItsAnswer)
{
    ChangeLog log;
    EXPECT_TRUE(log.recent().empty());
    const std::uint64_t first = log.record("127.0.0.1:50322", "set_tessora_info", "M0");
    const std::uint64_t second = log.record("127.0.0.1:50323", "set_corvanet_ip_settings", "M1");
    log.settle(second, "hostname_conflict");
    log.settle(second, "");  // a reply that comes again runs the answer again
    EXPECT_EQ(results(log), (std::vector<std::string>{"M0 pending", "M1 hostname_conflict"}));
    const ChangeLog::Change latest = log.recent().back();
    EXPECT_EQ(latest.client + " " + latest.type, "127.0.0.1:50323 set_corvanet_ip_settings");

    for (int i = 2; i < 22; ++i)
        log.record("127.0.0.1:1", "set_tessora_info", "M" + std::to_string(i));
    // A client's text of any length is kept short.
    log.settle(log.record("127.0.0.1:1", "set_tessora_info", std::string(1 << 20, 'm')), std::string(1 << 20, 'e'));
    EXPECT_EQ(results(log).back(), std::string(ChangeLog::textLength, 'm') + " " + std::string(ChangeLog::textLength, 'e'));
    log.settle(first, "");  // no longer kept
    log.settle(first + 21, "");
    std::vector<std::string> kept = results(log);
    ASSERT_EQ(kept.size(), ChangeLog::kept);
    EXPECT_EQ(kept.front(), "M3 pending");
    EXPECT_EQ(kept[ChangeLog::kept - 2], "M21 ok");
}
