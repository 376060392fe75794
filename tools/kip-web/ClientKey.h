#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/range/iterator_range.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

// An IPv4 address the same however it arrives.
inline boost::asio::ip::address unmapped(const boost::asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    return address;
}

// The client a connection comes from, as its bounds count it: its address, with every loopback
// address one client and an IPv6 address its /64, the least a site is given, so that one host
// cannot pose as thousands of clients.
inline std::string clientKey(const boost::asio::ip::address& peer)
{
    boost::asio::ip::address address = unmapped(peer);
    if (address.is_loopback())
        return "loopback";
    if (address.is_v4())
        return address.to_string();
    boost::asio::ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

// Whom a request comes from. Behind the trusted proxy, the client that proxy names: the last
// entry of the last X-Forwarded-For line, the one the proxy appended; entries before it are
// what the client itself sent. From anyone else the header is ignored.
class ClientKeys {
public:
    explicit ClientKeys(std::optional<boost::asio::ip::address> trustedProxy) : proxy(trustedProxy) {}

    bool isProxy(const boost::asio::ip::address& peer) const { return proxy && unmapped(peer) == *proxy; }

    // The key a connection is counted under before any request: the proxy stands for many clients.
    std::string ofConnection(const boost::asio::ip::address& peer) const
    {
        return isProxy(peer) ? "proxy " + proxy->to_string() : clientKey(peer);
    }

    std::string ofRequest(const boost::asio::ip::address& peer, const boost::beast::http::fields& request) const
    {
        if (!isProxy(peer))
            return clientKey(peer);
        std::optional<boost::asio::ip::address> named;
        for (const auto& field : boost::make_iterator_range(request.equal_range("X-Forwarded-For")))
            named = lastEntryOf(std::string_view(field.value().data(), field.value().size()));
        return clientKey(named.value_or(peer));
    }

private:
    // "203.0.113.7", "203.0.113.7:4711", "2001:db8::7" or "[2001:db8::7]:4711".
    static std::optional<boost::asio::ip::address> lastEntryOf(std::string_view list)
    {
        std::string_view entry = list.substr(list.rfind(',') + 1);  // the whole list when it has no comma
        entry.remove_prefix(std::min(entry.find_first_not_of(" \t"), entry.size()));
        entry = entry.substr(0, entry.find_last_not_of(" \t") + 1);
        if (!entry.empty() && entry.front() == '[' && entry.find(']') != std::string_view::npos)
            entry = entry.substr(1, entry.find(']') - 1);
        else if (entry.find(':') == entry.rfind(':'))  // IPv4, with a port or without
            entry = entry.substr(0, entry.find(':'));
        boost::system::error_code error;
        boost::asio::ip::address address = boost::asio::ip::make_address(std::string(entry), error);
        return error ? std::nullopt : std::optional(unmapped(address));
    }

    std::optional<boost::asio::ip::address> proxy;
};
