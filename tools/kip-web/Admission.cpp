#include "Admission.h"

#include <algorithm>

namespace http = boost::beast::http;
using Reason = WebCounters::Refusal;

namespace {

template <class Name>
std::string_view valueOf(const http::fields& fields, Name name)
{
    auto found = fields.find(name);
    return found == fields.end() ? std::string_view() : std::string_view(found->value().data(), found->value().size());
}

}  // namespace

std::optional<Refusal> Admission::checkSite(const Fields& fields, const std::string& client)
{
    // A second Host or Origin could name another site than the one checked.
    if (fields.count(http::field::host) != 1 || fields.count(http::field::origin) > 1)
        return Refusal{Reason::malformed, http::status::bad_request,
                       "A request names one Host, and at most one Origin.\n"};
    std::string host(valueOf(fields, http::field::host));
    if (!HostAllowList::isHost(host))
        return Refusal{Reason::malformed, http::status::bad_request, "The Host header names no host.\n"};
    if (!hosts.allowsHost(host)) {
        log.write(client, "refused the host name \"" + host.substr(0, 100) + "\" (allow it with --allow-host)");
        return Refusal{Reason::host, http::status::misdirected_request,
                       "kip-web is not served under the name \"" + host.substr(0, 100) + "\".\n"};
    }
    if (fields.find(http::field::origin) != fields.end() && !hosts.allowsOrigin(valueOf(fields, http::field::origin)))
        return Refusal{Reason::origin, http::status::forbidden, "Only kip-web's own page may connect.\n"};
    return std::nullopt;
}

std::optional<Refusal> Admission::checkToken(const Fields& fields, const std::string& client)
{
    if (!token)
        return std::nullopt;
    std::vector<std::string_view> presented = presentedTokens(fields);
    if (presented.empty())
        return Refusal{Reason::token, http::status::unauthorized,
                       "kip-web wants its token: as the page's cookie or as \"Authorization: Bearer TOKEN\".\n"};
    if (std::any_of(presented.begin(), presented.end(), [this](std::string_view tried) { return token->matches(tried); }))
        return std::nullopt;
    auto now = FailureThrottle::Clock::now();
    if (auto wait = failures.waitFor(client, now); wait > wait.zero()) {
        auto seconds = std::chrono::ceil<std::chrono::seconds>(wait);
        return Refusal{Reason::throttle, http::status::too_many_requests,
                       "Too many wrong tokens from this address: try again in " + std::to_string(seconds.count()) + " s.\n",
                       seconds};
    }
    for (std::size_t wrong = 0; wrong < presented.size(); ++wrong)
        failures.failed(client, now);
    log.write(client, "refused a wrong token");
    return Refusal{Reason::token, http::status::unauthorized, "This is not kip-web's token.\n"};
}

std::optional<std::string> Admission::cookieFor(const Fields& fields) const
{
    if (!token || valueOf(fields, http::field::authorization).substr(0, 7) != "Bearer ")
        return std::nullopt;
    // Behind a TLS proxy the cookie must never travel in clear text.
    bool secure = valueOf(fields, http::field::origin).substr(0, 8) == "https://" ||
                  valueOf(fields, "X-Forwarded-Proto") == "https";
    return token->cookie(secure);
}
