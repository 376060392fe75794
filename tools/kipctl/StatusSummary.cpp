#include "StatusSummary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace status {
namespace {

const JsonValue none;

const JsonValue& member(const JsonValue& object, const std::string& key)
{
    auto found = object.object.find(key);
    return object.kind == JsonValue::Kind::object && found != object.object.end() ? found->second : none;
}

bool known(const JsonValue& value)
{
    return value.kind != JsonValue::Kind::null;
}

double number(const JsonValue& value)
{
    return value.kind == JsonValue::Kind::number ? std::strtod(value.text.c_str(), nullptr) : 0;
}

// A count as the report has it, "0" where it is missing.
std::string count(const JsonValue& value)
{
    return value.kind == JsonValue::Kind::number ? value.text : "0";
}

std::string text(const JsonValue& value)
{
    return value.kind == JsonValue::Kind::string ? value.text : "";
}

bool isTrue(const JsonValue& value)
{
    return value.kind == JsonValue::Kind::boolean && value.boolean;
}

std::string printed(const char* format, double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// "0.4 s", "12 s", "5 min 3 s", "2 h 13 min", "3 d 4 h".
std::string duration(double seconds)
{
    if (!(seconds >= 0))
        seconds = 0;
    if (seconds < 10)
        return printed("%.1f s", seconds);
    const long whole = std::lround(std::floor(seconds));
    auto pair = [](long big, const char* bigUnit, long small, const char* smallUnit) {
        return std::to_string(big) + " " + bigUnit + " " + std::to_string(small) + " " + smallUnit;
    };
    if (whole < 60)
        return std::to_string(whole) + " s";
    if (whole < 3600)
        return pair(whole / 60, "min", whole % 60, "s");
    if (whole < 86400)
        return pair(whole / 3600, "h", whole % 3600 / 60, "min");
    return pair(whole / 86400, "d", whole % 86400 / 3600, "h");
}

// Local time, with the date unless it is `now`'s day.
std::string timeOf(double epochSeconds, std::time_t now)
{
    const std::time_t at = static_cast<std::time_t>(epochSeconds);
    std::tm local{}, today{};
    localtime_r(&at, &local);
    localtime_r(&now, &today);
    const bool sameDay = local.tm_year == today.tm_year && local.tm_yday == today.tm_yday;
    char buffer[32];
    std::strftime(buffer, sizeof buffer, sameDay ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &local);
    return buffer;
}

std::string mebibytes(double bytes)
{
    const double mib = bytes / (1024 * 1024);
    return printed(mib == std::floor(mib) ? "%.0f MiB" : "%.1f MiB", mib);
}

std::string plural(const std::string& number, const std::string& word)
{
    return number + " " + word + (number == "1" ? "" : "s");
}

// The link's last failure, whether it ended a connection or refused one.
std::string lastError(const JsonValue& link, std::time_t now)
{
    if (!known(member(link, "last_error")))
        return "";
    return ", last error " + timeOf(number(member(link, "last_error_at")), now) + " (\"" +
           text(member(link, "last_error")) + "\")";
}

std::string linkLine(const std::string& name, const JsonValue& link, std::time_t now)
{
    std::string line = "configuration daemon ";
    if (link.kind != JsonValue::Kind::object)
        return line + "(" + name + "): not in the report";
    line += text(member(link, "address")) + " (" + name + ", port " + count(member(link, "port")) + "): ";
    const JsonValue& since = member(link, "since");
    const std::string reconnects = plural(count(member(link, "reconnects")), "reconnect");
    const double age = static_cast<double>(now) - number(since);
    if (isTrue(member(link, "connected")))
        return line + "connected for " + duration(age) + ", " + reconnects + lastError(link, now);
    line += known(since) ? "down for " + duration(age) : std::string("down, never connected");
    return line + ", " + reconnects + lastError(link, now);
}

std::string clientsLine(const JsonValue& clients)
{
    std::string line = "clients: " + count(member(clients, "connected")) + " connected, " +
                       count(member(clients, "accepted")) + " accepted, " + count(member(clients, "held_back")) +
                       " held back; disconnected: ";
    std::string causes;
    for (const auto& cause : member(clients, "disconnected").object) {
        if (number(cause.second) == 0)
            continue;
        std::string words = cause.first;
        for (char& c : words)
            c = c == '_' ? ' ' : c;
        causes += (causes.empty() ? "" : ", ") + count(cause.second) + " " + words;
    }
    return line + (causes.empty() ? "none" : causes);
}

std::string queueLine(const JsonValue& queue)
{
    const std::string worker = isTrue(member(queue, "worker_busy"))
                                   ? "worker busy for " + duration(number(member(queue, "busy_seconds")))
                                   : std::string("worker idle");
    return "queue: " + count(member(queue, "waiting")) + " waiting, " + worker + ", longest wait " +
           duration(number(member(queue, "longest_wait_seconds_last_minute"))) + " in the last minute, " +
           count(member(queue, "executed")) + " commands run";
}

std::string systemLine(const JsonValue& system, std::time_t now)
{
    const JsonValue& name = member(system, "name");
    std::string line = known(name) ? "system \"" + text(name) + "\": " : std::string("system: not read yet, ");
    long total = 0;
    std::string kinds;
    for (const auto& kind : member(system, "devices").object) {
        total += std::lround(number(kind.second));
        kinds += (kinds.empty() ? "" : ", ") + count(kind.second) + " " + kind.first;
    }
    line += plural(std::to_string(total), "device") + (kinds.empty() ? "" : " (" + kinds + ")");
    const JsonValue& searched = member(system, "last_search_at");
    if (!known(searched))
        return line + ", no search yet";
    return line + ", last search " + timeOf(number(searched), now) + " with " +
           plural(count(member(system, "last_search_reports")), "report");
}

std::string memoryLine(const JsonValue& memory)
{
    const JsonValue& resident = member(memory, "rss_bytes");
    const JsonValue& limit = member(memory, "limit_bytes");
    const JsonValue& high = member(memory, "high_bytes");
    std::string line = "memory: " + (known(resident) ? mebibytes(number(resident)) + " resident" : "not readable");
    if (known(limit) && known(resident))
        line += ", " + printed("%.0f %%", 100 * number(resident) / std::max(number(limit), 1.0)) + " of the " +
                mebibytes(number(limit)) + " limit";
    else if (known(limit))
        line += ", limit " + mebibytes(number(limit));
    else
        line += ", no limit";
    return known(high) ? line + " (reclaim from " + mebibytes(number(high)) + ")" : line;
}

void addChanges(std::vector<std::string>& lines, const JsonValue& changes, std::time_t now)
{
    if (changes.array.empty()) {
        lines.push_back("changes: none asked for since kipd started");
        return;
    }
    lines.push_back("last changes, oldest first:");
    for (const JsonValue& change : changes.array)
        lines.push_back("  " + timeOf(number(member(change, "at")), now) + " " + text(member(change, "client")) + " " +
                        text(member(change, "type")) + " " + text(member(change, "mac")) + ": " +
                        text(member(change, "result")));
}

}  // namespace

std::vector<std::string> summary(const JsonValue& report, bool history, std::time_t now)
{
    std::vector<std::string> lines;
    lines.push_back("kipd " + text(member(report, "version")) + " (pid " + count(member(report, "pid")) + "): up " +
                    duration(number(member(report, "uptime_seconds"))) + ", since " +
                    timeOf(number(member(report, "started_at")), now));
    for (const char* name : {"main", "direct"}) {
        const JsonValue& link = member(member(report, "links"), name);
        lines.push_back(linkLine(name, link, now));
        if (history)
            for (const JsonValue& entry : member(link, "history").array)
                lines.push_back("  " + text(entry));
    }
    lines.push_back(clientsLine(member(report, "clients")));
    lines.push_back(queueLine(member(report, "queue")));
    lines.push_back(systemLine(member(report, "system"), now));
    lines.push_back(memoryLine(member(report, "memory")));
    addChanges(lines, member(report, "changes"), now);
    return lines;
}

bool linksUp(const JsonValue& report)
{
    for (const char* name : {"main", "direct"})
        if (!isTrue(member(member(member(report, "links"), name), "connected")))
            return false;
    return true;
}

}  // namespace status
