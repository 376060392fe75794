#pragma once

#include <boost/beast/http/fields.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The secret a client shows to use kip-web beyond its page's files, read from a file that
// `kip-web --new-token FILE` made. A browser keeps it in a cookie; other clients send it as
// "Authorization: Bearer TOKEN".
class AccessToken {
public:
    static constexpr std::string_view cookieName = "kip-web-token";
    static constexpr std::size_t shortest = 32;  // characters, 128 bits as hex digits; shorter is warned of

    // Throw std::runtime_error with a one-line reason.
    static AccessToken readFrom(const std::string& path);
    static void writeNew(const std::string& path);  // 256 random bits as hex, mode 0600

    // In constant time for a token of the right length.
    bool matches(std::string_view presented) const;
    // The Set-Cookie value that hands the token to the page's browser.
    std::string cookie(bool secure) const;

private:
    explicit AccessToken(std::string secret) : secret(std::move(secret)) {}

    std::string secret;
};

// The tokens a request carries: its bearer token and every cookie of the token's name, since
// another site of the same domain may set one of that name in front of the page's own.
std::vector<std::string_view> presentedTokens(const boost::beast::http::fields& fields);
