#pragma once

#include <boost/optional.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

// The system at a glance, for the status report: its name (none before it was read), the
// devices known by kind (this box included), and the last device search.
struct SystemSummary {
    boost::optional<std::string> name;
    std::map<std::string, std::size_t> devicesByKind;
    boost::optional<std::chrono::system_clock::time_point> lastSearchAt;
    std::size_t lastSearchReports = 0;
};
