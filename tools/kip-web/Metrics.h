#pragma once

#include "WebCounters.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// kip-web's figures and kipd's status report as Prometheus's text exposition format 0.0.4: each
// family once, with its HELP and TYPE, counters ending in _total, units in the names. Without a
// report only kipd_up (0) speaks for kipd. The names are listed in kip-web(1), METRICS.
class Metrics {
public:
    static constexpr std::string_view contentType = "text/plain; version=0.0.4; charset=utf-8";

    struct Own {
        std::size_t bridgesOpen = 0;
        std::size_t connectionsOpen = 0;
        WebCounters counters;
    };

    static std::string exposition(const Own& own, const boost::property_tree::ptree* kipd);

private:
    using Labels = std::vector<std::pair<std::string_view, std::string>>;

    void family(std::string_view name, std::string_view type, std::string_view help);
    void sample(const Labels& labels, const std::string& value);
    void number(const boost::property_tree::ptree& report, const std::string& path, const Labels& labels = {});

    void writeOwn(const Own& own);
    void writeKipd(const boost::property_tree::ptree& report);
    void writeLinks(const boost::property_tree::ptree& report);
    void writeClients(const boost::property_tree::ptree& report);
    void writeQueue(const boost::property_tree::ptree& report);
    void writeSystem(const boost::property_tree::ptree& report);

    std::string out;
    std::string head;  // the family's HELP and TYPE, written before its first sample
    std::string name;
};
