#include "ChainStatus.h"

#include "wire/Utf8.h"

#include <boost/property_tree/ptree.hpp>

namespace {

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : validUtf8(text)) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += {'\\', c};
        else if (byte < 0x20 || byte == 0x7F)
            out += {'\\', 'u', '0', '0', "0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
        else
            out += c;
    }
    return out + "\"";
}

std::string orNull(const std::optional<std::string>& value) { return value.value_or("null"); }

std::string link(const boost::property_tree::ptree& report, const std::string& name)
{
    const std::string at = "links." + name + ".";
    std::optional<bool> connected = StatusReader::flagAt(report, at + "connected");
    std::optional<std::string> error = StatusReader::textAt(report, at + "last_error");
    return quoted(name) + ": {\"connected\": " + (connected ? (*connected ? "true" : "false") : "null") +
           ", \"since\": " + orNull(StatusReader::numberAt(report, at + "since")) +
           ", \"last_error\": " + (error ? quoted(*error) : "null") +
           ", \"last_error_at\": " + orNull(StatusReader::numberAt(report, at + "last_error_at")) + "}";
}

}  // namespace

std::string ChainStatus::json(const StatusReader::Reading& reading)
{
    if (!reading.report)
        return "{\"kipd_status\": false, \"problem\": " + quoted(reading.problem) + "}\n";
    return "{\"kipd_status\": true, \"links\": {" + link(*reading.report, "main") + ", " +
           link(*reading.report, "direct") + "}}\n";
}
