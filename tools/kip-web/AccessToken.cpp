#include "AccessToken.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/range/iterator_range.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace http = boost::beast::http;

namespace {

// Visible ASCII that a cookie value and an Authorization header both carry unchanged.
bool isTokenText(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 127 && !std::strchr("\",;\\", c); });
}

std::string_view trimmed(std::string_view text)
{
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

AccessToken AccessToken::readFrom(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw systemError("cannot read the token file " + path);
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::string_view token = trimmed(text);
    if (token.empty() || !isTokenText(token))
        throw std::runtime_error("the token in " + path + " must be one word of visible ASCII without \",;\\ " +
                                 "(make one with --new-token FILE)");
    if (token.size() < shortest)
        std::cerr << "kip-web: the token in " << path << " has " << token.size()
                  << " characters: a short token is easier to guess (make one with --new-token FILE)\n";
    return AccessToken(std::string(token));
}

void AccessToken::writeNew(const std::string& path)
{
    std::array<unsigned char, 32> random{};
    if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size()))
        throw systemError("cannot draw a random token");
    std::string token;
    for (unsigned char byte : random)
        token += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    token += '\n';
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw systemError("cannot make " + path + " (an existing token file is never overwritten)");
    bool written = ::fchmod(fd, 0600) == 0 && ::write(fd, token.data(), token.size()) == static_cast<ssize_t>(token.size());
    if (::close(fd) != 0 || !written)
        throw systemError("cannot write " + path);
}

bool AccessToken::matches(std::string_view presented) const
{
    unsigned char difference = presented.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < secret.size(); ++i)
        difference |= static_cast<unsigned char>(secret[i] ^ (i < presented.size() ? presented[i] : 0));
    return difference == 0;
}

std::string AccessToken::cookie(bool secure) const
{
    // Kept a year, so the page asks once; Strict keeps it off every request another site starts.
    return std::string(cookieName) + "=" + secret + "; Path=/; Max-Age=31536000; HttpOnly; SameSite=Strict" +
           (secure ? "; Secure" : "");
}

std::vector<std::string_view> presentedTokens(const http::fields& fields)
{
    constexpr std::string_view cookieName = AccessToken::cookieName;
    std::vector<std::string_view> tokens;
    // Only a bearer token counts: a proxy may pass on its own Basic credentials.
    auto authorization = fields.find(http::field::authorization);
    if (authorization != fields.end() && authorization->value().substr(0, 7) == "Bearer ")
        tokens.push_back(trimmed(std::string_view(authorization->value().data(), authorization->value().size()).substr(7)));
    for (const auto& header : boost::make_iterator_range(fields.equal_range(http::field::cookie))) {
        std::string_view list(header.value().data(), header.value().size());
        while (!list.empty()) {
            std::size_t end = std::min(list.find(';'), list.size());
            std::string_view pair = trimmed(list.substr(0, end));
            list.remove_prefix(std::min(end + 1, list.size()));
            if (pair.size() > cookieName.size() && pair.substr(0, cookieName.size()) == cookieName &&
                pair[cookieName.size()] == '=')
                tokens.push_back(pair.substr(cookieName.size() + 1));
        }
    }
    return tokens;
}
