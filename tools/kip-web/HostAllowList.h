#pragma once

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The addresses of the box's interfaces, loopback's among them. One not known yet is looked
// for again, at most once a second: an interface may get an address after kip-web started.
class OwnAddresses {
public:
    bool has(const boost::asio::ip::address& address);

private:
    void read();

    std::vector<boost::asio::ip::address> addresses;
    std::optional<std::chrono::steady_clock::time_point> readAt;
};

// The names under which kip-web may be asked for, in a request's Host and Origin. A page of
// another site that points its own name at this address (DNS rebinding) names itself, so it
// is refused. Allowed: loopback names and addresses, the listen address (any address of the
// box when listening on all of them: an address cannot be rebound, but another host's address
// would be another site) and the names given. An Origin that names an address or localhost
// must also name kip-web's own port: a page that another server on this box serves is another
// site.
class HostAllowList {
public:
    HostAllowList(boost::asio::ip::address listenAddress, unsigned short ownPort)
        : listenAddress(listenAddress), ownPort(std::to_string(ownPort))
    {
    }

    // "NAME" allows the name on any port, "NAME:PORT" only with that port written out.
    // False when the text is not a host name or address.
    bool allow(std::string_view nameAndPort);

    static bool isHost(std::string_view host);         // "NAME[:PORT]", "[V6][:PORT]"
    bool allowsHost(std::string_view host) const;
    bool allowsOrigin(std::string_view origin) const;  // "http://HOST", "https://HOST"

private:
    struct Authority {
        std::string name;  // lower case, an IPv6 address without its brackets
        std::string port;  // empty when none is written
    };
    static std::optional<Authority> parse(std::string_view text);
    bool allowsAddress(const std::string& name) const;
    bool allowsName(const Authority& authority) const;

    boost::asio::ip::address listenAddress;
    std::string ownPort;
    std::vector<Authority> allowed;
    mutable OwnAddresses own;
};
