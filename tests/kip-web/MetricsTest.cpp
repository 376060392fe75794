#include "Metrics.h"

#include "StatusReader.h"

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace {

// Part of a status report of kipd: the main link up, the direct one lost, the unit's limit unknown.
const char* const report = R"({"version": "1.0", "started_at": 1765530000.25,
  "links": {"main": {"connected": true, "since": 1765530001.5, "reconnects": 0, "last_error": null},
            "direct": {"connected": false, "reconnects": 2, "last_error": "End \"of\" \\ file\n\u00e9"}},
  "clients": {"disconnected": {"peer_closed": 6, "unread_answers": 1}},
  "queue": {"worker_busy": true, "busy_seconds": 3.25}, "system": {"devices": {"tessora": 3}},
  "memory": {"rss_bytes": 9000000, "limit_bytes": null}})";

// Each sample's value by its name and labels, and "TYPE name" by each family's type.
std::map<std::string, std::string> linesOf(const std::string& text)
{
    std::map<std::string, std::string> lines;
    std::istringstream input(text);
    for (std::string line; std::getline(input, line);)
        if (line.rfind("# TYPE ", 0) == 0 || line[0] != '#')
            lines[line.substr(0, line.rfind(' '))] = line.substr(line.rfind(' ') + 1);
    return lines;
}

Metrics::Own ownFigures()
{
    Metrics::Own own{3, 17, {}};
    own.counters.refuse(WebCounters::Refusal::token);
    own.counters.refuse(WebCounters::Refusal::token);
    own.counters.changes[1] = 4;
    return own;
}

}  // namespace

TEST(Metrics, NamesKipdsFiguresWithTheirTypesAndEscapedLabelsAndLeavesOutWhatIsNotKnown)
{
    StatusReader::Reading reading = StatusReader::readingOf(report);
    ASSERT_TRUE(reading.report) << reading.problem;
    std::map<std::string, std::string> metrics = linesOf(Metrics::exposition(ownFigures(), reading.report.get()));
    const std::map<std::string, std::string> expected = {
        {"kipd_up", "1"},
        {"kipd_info{version=\"1.0\"}", "1"},
        {"kipd_confd_link_up{link=\"main\"}", "1"},
        {"kipd_confd_link_up{link=\"direct\"}", "0"},
        {"# TYPE kipd_confd_link_up", "gauge"},
        {"kipd_confd_link_reconnects_total{link=\"direct\"}", "2"},
        {"# TYPE kipd_confd_link_reconnects_total", "counter"},
        {"kipd_confd_link_last_error_info{link=\"direct\",error=\"End \\\"of\\\" \\\\ file\\n\xC3\xA9\"}", "1"},
        {"kipd_worker_busy", "1"},
        {"kipd_devices{kind=\"tessora\"}", "3"},
        {"kip_web_bridges_open", "3"},
        {"kip_web_requests_refused_total{reason=\"token\"}", "2"},
        {"kip_web_requests_refused_total{reason=\"slots\"}", "0"},
        {"kip_web_changes_bridged_total{type=\"set_tessora_info\"}", "4"},
    };
    for (const auto& [line, value] : expected)
        EXPECT_EQ(metrics[line], value) << line;
    for (const char* absent : {"kipd_confd_link_last_error_info{link=\"main\"}", "kipd_memory_max_bytes",
                               "# TYPE kipd_memory_max_bytes", "kipd_last_search_timestamp_seconds"})
        EXPECT_EQ(metrics.count(absent), 0u) << absent;
    for (const auto& [line, value] : metrics)
        if (line.rfind("# TYPE ", 0) == 0) {
            bool total = line.size() > 6 && line.compare(line.size() - 6, 6, "_total") == 0;
            EXPECT_EQ(total, value == "counter") << line;
        } else {
            EXPECT_TRUE(line.rfind("kipd_", 0) == 0 || line.rfind("kip_web_", 0) == 0) << line;
        }
}

TEST(Metrics, WithoutAReportOnlyKipdUpSpeaksForKipd)
{
    for (const char* text : {"[1]", "{\"a\": 1} {", "", "{\"a\": \"\xFF\"}"})
        EXPECT_FALSE(StatusReader::readingOf(text).report) << text;
    std::map<std::string, std::string> metrics = linesOf(Metrics::exposition(ownFigures(), nullptr));
    EXPECT_EQ(metrics["kipd_up"], "0");
    for (const auto& [line, value] : metrics) {
        std::string name = line.rfind("# TYPE ", 0) == 0 ? line.substr(7) : line;
        EXPECT_TRUE(name == "kipd_up" || name.rfind("kip_web_", 0) == 0) << line;
    }
}
