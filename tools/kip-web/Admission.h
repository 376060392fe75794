#pragma once

#include "AccessToken.h"
#include "FailureThrottle.h"
#include "HostAllowList.h"
#include "OncePerClient.h"
#include "WebCounters.h"

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/status.hpp>

#include <chrono>
#include <optional>
#include <string>

// Why a request is not served: the reason counted, the status and one-line text of the answer.
struct Refusal {
    WebCounters::Refusal reason;
    boost::beast::http::status status;
    std::string text;
    std::chrono::seconds retryAfter{0};  // set for a client that must wait
};

// Decides who may use kip-web. Every request must name an allowed host, and an allowed origin
// when it names one; with a token set, anything but the page's own files must carry it.
class Admission {
public:
    using Fields = boost::beast::http::fields;

    Admission(HostAllowList hosts, std::optional<AccessToken> token) : hosts(std::move(hosts)), token(std::move(token)) {}

    std::optional<Refusal> checkSite(const Fields& fields, const std::string& client);
    std::optional<Refusal> checkToken(const Fields& fields, const std::string& client);
    // The cookie for a browser that has just shown a good token in its Authorization header.
    std::optional<std::string> cookieFor(const Fields& fields) const;
    bool requiresToken() const { return token.has_value(); }

private:
    HostAllowList hosts;
    std::optional<AccessToken> token;
    FailureThrottle failures;
    OncePerClient log;
};
