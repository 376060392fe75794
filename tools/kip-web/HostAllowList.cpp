#include "HostAllowList.h"

#include <algorithm>
#include <cctype>

namespace {

bool isNameCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_'; }

bool isPort(std::string_view text)
{
    return !text.empty() && text.size() <= 5 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

}  // namespace

std::optional<HostAllowList::Authority> HostAllowList::parse(std::string_view text)
{
    Authority authority;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        authority.name = std::string(text.substr(1, close - 1));
        rest = text.substr(close + 1);
        boost::system::error_code error;
        boost::asio::ip::make_address_v6(authority.name, error);
        if (error)
            return std::nullopt;
    } else {
        auto colon = text.find(':');
        authority.name = std::string(text.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
        if (authority.name.empty() || !std::all_of(authority.name.begin(), authority.name.end(), isNameCharacter))
            return std::nullopt;
    }
    if (!rest.empty()) {
        if (rest.front() != ':' || !isPort(rest.substr(1)))
            return std::nullopt;
        authority.port = std::string(rest.substr(1));
    }
    std::transform(authority.name.begin(), authority.name.end(), authority.name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return authority;
}

bool HostAllowList::allow(std::string_view nameAndPort)
{
    std::optional<Authority> authority = parse(nameAndPort);
    if (authority)
        allowed.push_back(*authority);
    return authority.has_value();
}

bool HostAllowList::allowsAddress(const std::string& name) const
{
    boost::system::error_code error;
    boost::asio::ip::address address = boost::asio::ip::make_address(name, error);
    if (error)
        return false;
    return address.is_loopback() || address == listenAddress || listenAddress.is_unspecified();
}

bool HostAllowList::allowsName(const Authority& authority) const
{
    return std::any_of(allowed.begin(), allowed.end(), [&](const Authority& entry) {
        return entry.name == authority.name && (entry.port.empty() || entry.port == authority.port);
    });
}

bool HostAllowList::allowsHost(std::string_view host) const
{
    std::optional<Authority> authority = parse(host);
    return authority &&
           (authority->name == "localhost" || allowsAddress(authority->name) || allowsName(*authority));
}

bool HostAllowList::allowsOrigin(std::string_view origin) const
{
    for (std::string_view scheme : {"http://", "https://"}) {
        if (origin.substr(0, scheme.size()) != scheme)
            continue;
        std::optional<Authority> authority = parse(origin.substr(scheme.size()));
        if (!authority)
            return false;
        std::string port = authority->port.empty() ? (scheme == "https://" ? "443" : "80") : authority->port;
        bool local = authority->name == "localhost" || allowsAddress(authority->name);
        return (local && port == ownPort) || allowsName(*authority);
    }
    return false;  // "null" from a sandboxed frame or a file, or another scheme
}
