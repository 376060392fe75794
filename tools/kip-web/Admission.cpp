#include "Admission.h"

#include <iostream>

namespace http = boost::beast::http;

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
    std::string host(valueOf(fields, http::field::host));
    if (!hosts.allowsHost(host)) {
        logOnce(client, "refused the host name \"" + host.substr(0, 100) + "\" (allow it with --allow-host)");
        return Refusal{http::status::misdirected_request,
                       "kip-web is not served under the name \"" + host.substr(0, 100) + "\".\n"};
    }
    if (fields.find(http::field::origin) != fields.end() && !hosts.allowsOrigin(valueOf(fields, http::field::origin)))
        return Refusal{http::status::forbidden, "Only kip-web's own page may connect.\n"};
    return std::nullopt;
}

std::optional<Refusal> Admission::checkToken(const Fields& fields, const std::string& client)
{
    if (!token)
        return std::nullopt;
    std::optional<std::string_view> presented = presentedToken(fields);
    if (!presented)
        return Refusal{http::status::unauthorized, "kip-web wants its token: as the page's cookie or as "
                                                   "\"Authorization: Bearer TOKEN\".\n"};
    auto now = FailureThrottle::Clock::now();
    if (auto wait = failures.waitFor(client, now); wait > wait.zero()) {
        auto seconds = std::chrono::ceil<std::chrono::seconds>(wait);
        return Refusal{http::status::too_many_requests,
                       "Too many wrong tokens from this address: try again in " + std::to_string(seconds.count()) + " s.\n",
                       seconds};
    }
    if (!token->matches(*presented)) {
        failures.failed(client, now);
        logOnce(client, "refused a wrong token");
        return Refusal{http::status::unauthorized, "This is not kip-web's token.\n"};
    }
    failures.succeeded(client);
    return std::nullopt;
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

void Admission::logOnce(const std::string& client, const std::string& text)
{
    if (logged.size() >= bounds::maxLoggedClients || !logged.insert(client).second)
        return;
    std::cerr << "kip-web: " << client << ": " << text << '\n';
}
