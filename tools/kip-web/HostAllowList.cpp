#include "HostAllowList.h"

#include "Bounds.h"
#include "ClientKey.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool isNameCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_'; }

bool isPort(std::string_view text)
{
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
           std::stoul(std::string(text)) <= 65535;
}

// An address as an interface and a Host name it alike: IPv4 unmapped, IPv6 without its zone.
boost::asio::ip::address comparable(const boost::asio::ip::address& address)
{
    boost::asio::ip::address plain = unmapped(address);
    return plain.is_v6() ? boost::asio::ip::address(boost::asio::ip::address_v6(plain.to_v6().to_bytes())) : plain;
}

}  // namespace

bool OwnAddresses::has(const boost::asio::ip::address& address)
{
    boost::asio::ip::address wanted = comparable(address);
    auto known = [&] { return std::find(addresses.begin(), addresses.end(), wanted) != addresses.end(); };
    if (known())
        return true;
    auto now = std::chrono::steady_clock::now();
    if (readAt && now - *readAt < bounds::ownAddressesReread)
        return false;
    readAt = now;
    read();
    return known();
}

void OwnAddresses::read()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return;  // keep what was known
    addresses.clear();
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr)
            continue;
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* ip = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            addresses.push_back(boost::asio::ip::address_v4(ntohl(ip->sin_addr.s_addr)));
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            boost::asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr.s6_addr, 16);
            addresses.push_back(boost::asio::ip::address_v6(bytes));
        }
    }
    ::freeifaddrs(list);
}

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
    return address.is_loopback() || address == listenAddress || (listenAddress.is_unspecified() && own.has(address));
}

bool HostAllowList::allowsName(const Authority& authority) const
{
    return std::any_of(allowed.begin(), allowed.end(), [&](const Authority& entry) {
        return entry.name == authority.name && (entry.port.empty() || entry.port == authority.port);
    });
}

bool HostAllowList::isHost(std::string_view host) { return parse(host).has_value(); }

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
