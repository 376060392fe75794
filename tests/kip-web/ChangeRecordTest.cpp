#include "ChangeRecord.h"

#include "JsonText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The record of a request, for loopback without a token through kipd's side 127.0.0.1:4000.
std::string recordOf(const std::string& request)
{
    EXPECT_TRUE(isJsonText(request, 64)) << request;
    std::optional<ChangeRecord> change = ChangeRecord::of(request);
    return change ? change->line("loopback", false, "127.0.0.1:4000") : "none";
}

}  // namespace

TEST(ChangeRecord, NamesTheChangeAsKipdReadsTheRequest)
{
    const std::string tail = " client=loopback token=no via=127.0.0.1:4000";
    EXPECT_EQ(recordOf(R"({"type": "set_tessora_info", "ip_settings": {"mac_address": "00:1E:C0:20:00:13"},
                           "system": {"level": {"no": "5"}}})"),
              "kip-web: change set_tessora_info mac=\"00:1E:C0:20:00:13\"" + tail);
    EXPECT_EQ(recordOf(R"({"ip_address": "192.168.10.9", "type": "set_corvanet_ip_settings"})"),
              "kip-web: change set_corvanet_ip_settings mac=this-box" + tail);
    // Escapes are decoded, in names as in values, so no spelling slips past the record.
    EXPECT_EQ(recordOf(R"({"typ\u0065": "set_tessora\u005finfo", "ip_settings": {"mac_\u0061ddress": "A\/B"}})"),
              "kip-web: change set_tessora_info mac=\"A/B\"" + tail);
    // The first member of a name counts; members of nested objects and of arrays do not (the
    // fuzz target compares every reading with kipd's parser).
    EXPECT_EQ(recordOf(R"({"type": "get_devices", "type": "set_tessora_info"})"), "none");
    EXPECT_EQ(recordOf(R"({"type": "set_tessora_info", "type": "get_devices", "ip_settings": {"mac_address": "1"},
                           "ip_settings": {"mac_address": "2"}})"),
              "kip-web: change set_tessora_info mac=\"1\"" + tail);
    EXPECT_EQ(recordOf(R"({"x": {"type": "set_tessora_info"}, "y": ["type", "set_tessora_info"]})"), "none");
    EXPECT_EQ(recordOf(R"([{"type": "set_tessora_info"}])"), "none");
    // What kipd's tree holds for a value that is no string: a number as written, a container empty.
    EXPECT_EQ(recordOf(R"({"type": "set_tessora_info", "ip_settings": {"mac_address": -1.5e3}})"),
              "kip-web: change set_tessora_info mac=\"-1.5e3\"" + tail);
    EXPECT_EQ(recordOf(R"({"type": "set_corvanet_ip_settings", "mac_address": {"a": "b"}})"),
              "kip-web: change set_corvanet_ip_settings mac=\"\"" + tail);
}

TEST(ChangeRecord, KeepsARecordOneLineOfAsciiWhateverTheClientNames)
{
    std::optional<ChangeRecord> change = ChangeRecord::of(
        R"({"type": "set_tessora_info", "ip_settings": {"mac_address": "x\"\\\n\u0000kip-web: change é\ud83c\udf9b"}})");
    ASSERT_TRUE(change);
    EXPECT_EQ(change->line("2001:db8:1:2::/64", true, "127.0.0.1:4001"),
              "kip-web: change set_tessora_info mac=\"x\\\"\\\\\\x0a\\x00kip-web: change \\xc3\\xa9\\xf0\\x9f\\x8e\\x9b\" "
              "client=2001:db8:1:2::/64 token=yes via=127.0.0.1:4001");
    // Cut as kipd's status cuts it.
    change = ChangeRecord::of(R"({"type": "set_tessora_info", "ip_settings": {"mac_address": ")" + std::string(300, 'm') +
                              "\"}}");
    ASSERT_TRUE(change);
    EXPECT_NE(change->line("c", true, "v").find("mac=\"" + std::string(100, 'm') + "\" client=c"), std::string::npos);
}
