#include "Metrics.h"

#include "StatusReader.h"
#include "wire/Utf8.h"

#include <boost/property_tree/ptree.hpp>

namespace {

using boost::property_tree::ptree;

struct LinkFigure {
    const char* name;
    const char* type;
    const char* help;
    const char* field;  // of the link's object in kipd's status
};

const LinkFigure linkFigures[] = {
    {"kipd_confd_link_reconnects_total", "counter", "Connections of the link after its first.", "reconnects"},
    {"kipd_confd_link_sent_messages_total", "counter", "Messages kipd sent on the link.", "messages_sent"},
    {"kipd_confd_link_sent_bytes_total", "counter", "Bytes kipd sent on the link.", "bytes_sent"},
    {"kipd_confd_link_received_messages_total", "counter", "Messages kipd received on the link.", "messages_received"},
    {"kipd_confd_link_received_bytes_total", "counter", "Bytes kipd received on the link.", "bytes_received"},
    {"kipd_confd_link_changed_timestamp_seconds", "gauge", "When the link last connected or was lost.", "since"},
    {"kipd_confd_link_last_error_timestamp_seconds", "gauge", "When the link last failed.", "last_error_at"},
};

const char* const linkNames[] = {"main", "direct"};

// A label value's escapes: backslash, double quote and line feed.
std::string escaped(const std::string& value)
{
    std::string out;
    for (char c : validUtf8(value)) {
        if (c == '\\' || c == '"')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string count(std::uint64_t value) { return std::to_string(value); }

}  // namespace

std::string Metrics::exposition(const Own& own, const ptree* kipd)
{
    Metrics metrics;
    metrics.writeOwn(own);
    metrics.family("kipd_up", "gauge", "1 when kip-web could read kipd's status socket, else 0.");
    metrics.sample({}, kipd ? "1" : "0");
    if (kipd)
        metrics.writeKipd(*kipd);
    return metrics.out;
}

void Metrics::family(std::string_view familyName, std::string_view type, std::string_view help)
{
    name = familyName;
    head = "# HELP " + name + " " + std::string(help) + "\n# TYPE " + name + " " + std::string(type) + "\n";
}

// The family's head comes with its first sample: a family without samples is not written.
void Metrics::sample(const Labels& labels, const std::string& value)
{
    out += head;
    head.clear();
    out += name;
    for (std::size_t i = 0; i < labels.size(); ++i)
        out += (i == 0 ? "{" : ",") + std::string(labels[i].first) + "=\"" + escaped(labels[i].second) + "\"";
    out += labels.empty() ? " " : "} ";
    out += value + "\n";
}

void Metrics::number(const ptree& report, const std::string& path, const Labels& labels)
{
    if (std::optional<std::string> value = StatusReader::numberAt(report, path))
        sample(labels, *value);
}

void Metrics::writeOwn(const Own& own)
{
    family("kip_web_bridges_open", "gauge", "Browser WebSockets bridged to kipd now.");
    sample({}, count(own.bridgesOpen));
    family("kip_web_bridges_opened_total", "counter", "Browser WebSockets bridged to kipd since kip-web started.");
    sample({}, count(own.counters.bridgesOpened));
    family("kip_web_connections_open", "gauge", "Browsers' connections open now, bridges' included.");
    sample({}, count(own.connectionsOpen));
    family("kip_web_connections_closed_for_room_total", "counter",
           "Idle browser connections closed to make room for a newcomer.");
    sample({}, count(own.counters.connectionsClosedForRoom));
    family("kip_web_requests_refused_total", "counter",
           "Requests refused: malformed (400), host (421), origin (403), token (401), throttle (429), slots "
           "(503, no bridge free), connections (closed at once, every connection a bridge).");
    for (std::size_t i = 0; i < WebCounters::refusalNames.size(); ++i)
        sample({{"reason", std::string(WebCounters::refusalNames[i])}}, count(own.counters.refused[i]));
    family("kip_web_changes_bridged_total", "counter", "Change requests passed on to kipd, by type.");
    for (std::size_t i = 0; i < WebCounters::changeNames.size(); ++i)
        sample({{"type", std::string(WebCounters::changeNames[i])}}, count(own.counters.changes[i]));
}

void Metrics::writeKipd(const ptree& report)
{
    if (std::optional<std::string> version = StatusReader::textAt(report, "version")) {
        family("kipd_info", "gauge", "kipd's version, in the label.");
        sample({{"version", *version}}, "1");
    }
    family("kipd_start_time_seconds", "gauge", "When kipd started, in seconds since the epoch.");
    number(report, "started_at");
    family("kipd_uptime_seconds", "gauge", "How long kipd has run.");
    number(report, "uptime_seconds");
    writeLinks(report);
    writeClients(report);
    writeQueue(report);
    writeSystem(report);
    family("kipd_resident_memory_bytes", "gauge", "kipd's resident memory.");
    number(report, "memory.rss_bytes");
    family("kipd_memory_max_bytes", "gauge", "The memory kipd's unit may not pass (memory.max).");
    number(report, "memory.limit_bytes");
    family("kipd_memory_high_bytes", "gauge", "The memory above which kipd's unit is reclaimed from (memory.high).");
    number(report, "memory.high_bytes");
}

void Metrics::writeLinks(const ptree& report)
{
    family("kipd_confd_link_up", "gauge", "1 while kipd's link to the configuration daemon is connected, else 0.");
    for (const char* link : linkNames)
        if (std::optional<bool> up = StatusReader::flagAt(report, "links." + std::string(link) + ".connected"))
            sample({{"link", link}}, *up ? "1" : "0");
    for (const LinkFigure& figure : linkFigures) {
        family(figure.name, figure.type, figure.help);
        for (const char* link : linkNames)
            number(report, "links." + std::string(link) + "." + figure.field, {{"link", link}});
    }
    family("kipd_confd_link_last_error_info", "gauge", "The link's last failure, in the label.");
    for (const char* link : linkNames)
        if (auto error = StatusReader::textAt(report, "links." + std::string(link) + ".last_error"))
            sample({{"link", link}, {"error", *error}}, "1");
}

void Metrics::writeClients(const ptree& report)
{
    family("kipd_clients_connected", "gauge", "Configuration clients connected now.");
    number(report, "clients.connected");
    family("kipd_clients_accepted_total", "counter", "Configuration clients accepted since kipd started.");
    number(report, "clients.accepted");
    family("kipd_clients_held_back", "gauge", "Clients whose reading or requests wait for a bound now.");
    number(report, "clients.held_back");
    family("kipd_clients_disconnected_total", "counter", "Clients disconnected, by cause.");
    if (boost::optional<const ptree&> causes = report.get_child_optional("clients.disconnected"))
        for (const auto& [cause, figure] : *causes)
            number(figure, "", {{"cause", cause}});
}

void Metrics::writeQueue(const ptree& report)
{
    family("kipd_commands_waiting", "gauge", "Commands waiting for kipd's worker now.");
    number(report, "queue.waiting");
    family("kipd_worker_busy", "gauge", "1 while kipd's worker runs a command, else 0.");
    if (std::optional<bool> busy = StatusReader::flagAt(report, "queue.worker_busy"))
        sample({}, *busy ? "1" : "0");
    family("kipd_worker_busy_seconds", "gauge", "How long the command running now has run.");
    number(report, "queue.busy_seconds");
    family("kipd_command_longest_wait_seconds", "gauge", "The longest wait of a command in the last minute.");
    number(report, "queue.longest_wait_seconds_last_minute");
    family("kipd_commands_executed_total", "counter", "Commands kipd's worker ran since kipd started.");
    number(report, "queue.executed");
}

void Metrics::writeSystem(const ptree& report)
{
    family("kipd_devices", "gauge", "Devices kipd knows, this box included, by kind.");
    if (boost::optional<const ptree&> kinds = report.get_child_optional("system.devices"))
        for (const auto& [kind, figure] : *kinds)
            number(figure, "", {{"kind", kind}});
    family("kipd_last_search_timestamp_seconds", "gauge", "When kipd last sent a device search.");
    number(report, "system.last_search_at");
    family("kipd_last_search_reports", "gauge", "Devices that answered the last search.");
    number(report, "system.last_search_reports");
}
