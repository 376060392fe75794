// Feeds arbitrary bytes to what kip-web reads from a browser or from kipd: the JSON checker
// that every bridged message passes, the change record of a bridged request (which must name
// a change exactly when kipd's parser would read one, with the MAC kipd reads), kipd's status
// report and the metrics made of it, and the readers of the Host, Origin and Cookie headers.
// It stops on a broken rule as well as on a crash.
#include "AccessToken.h"
#include "Bounds.h"
#include "ChainStatus.h"
#include "ChangeRecord.h"
#include "HostAllowList.h"
#include "JsonText.h"
#include "Metrics.h"
#include "StatusReader.h"
#include "wire/Utf8.h"

#include <boost/property_tree/json_parser.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <set>
#include <sstream>
#include <string_view>

namespace {

void require(bool rule)
{
    if (!rule)
        std::abort();
}

// As kipd reads a request: its property tree, the first member of a name.
void checkChangeRecord(std::string_view text)
{
    std::optional<ChangeRecord> change = ChangeRecord::of(text);
    boost::property_tree::ptree request;
    std::istringstream input{std::string(text)};
    try {
        boost::property_tree::read_json(input, request);
    } catch (const boost::property_tree::json_parser_error&) {
        return;  // kipd answers a parse error, and changes nothing
    }
    std::string type = request.get("type", std::string());
    require(change.has_value() == (type == "set_corvanet_ip_settings" || type == "set_tessora_info"));
    if (!change)
        return;
    boost::optional<std::string> mac = request.get_optional<std::string>(
        type == "set_tessora_info" ? "ip_settings.mac_address" : "mac_address");
    if (type == "set_tessora_info" && !mac)
        mac = std::string();
    require(change->target() == (mac ? std::optional<std::string>(*mac) : std::nullopt));
    std::string line = change->line("c", true, "v");
    require(std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c < 127; }));
}

// Anything kipd's status socket may say: read or refused, the page's answer stays one JSON text
// and the metrics UTF-8, each family once, its HELP and TYPE before its samples.
void checkStatus(std::string_view text)
{
    StatusReader::Reading reading = StatusReader::readingOf(std::string(text));
    require(isJsonText(ChainStatus::json(reading), 3));
    std::string metrics = Metrics::exposition({}, reading.report.get());
    require(metrics.back() == '\n' && isUtf8(metrics));
    std::set<std::string> families;
    std::string family;
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);) {
        std::string name = line.substr(0, line.find_first_of("{ "));
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            require(families.insert(family).second);
        } else if (line[0] != '#') {
            require(name == family);
        }
    }
}

void checkJson(std::string_view text)
{
    bool shallow = isJsonText(text, 3);
    bool deep = isJsonText(text, bounds::maxJsonDepth);
    require(!shallow || deep);
    // The bridge ends each request with a NUL: a passed message holds none and is UTF-8.
    require(!deep || (text.find('\0') == std::string_view::npos && isUtf8(text)));
    if (deep)
        checkChangeRecord(text);
}

void checkHeaders(std::string_view text)
{
    static const HostAllowList hosts = [] {
        HostAllowList list(boost::asio::ip::make_address("192.0.2.1"), 8080);
        list.allow("box.example:8443");
        return list;
    }();
    require(!hosts.allowsOrigin("https://" + std::string(text)) || hosts.allowsHost(text));
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return;
    boost::beast::http::fields fields;
    fields.set(boost::beast::http::field::cookie, boost::beast::string_view(text.data(), text.size()));
    for (std::string_view token : presentedTokens(fields))
        require(token.empty() || text.find(token) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    checkJson(text);
    checkStatus(text);
    checkHeaders(text);
    return 0;
}
