#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <functional>
#include <string>
#include <vector>

// Turns the configuration daemon's host and port into the endpoints to try. A numeric address
// is taken as it is; a name is resolved for the address families configured on the box, and
// where that finds nothing (a box whose only IPv4 address is on loopback), its loopback
// results still count, so "localhost" works before the network is up.
class HostResolver {
public:
    using Endpoints = std::vector<boost::asio::ip::tcp::endpoint>;
    using Flags = boost::asio::ip::resolver_base::flags;
    using Lookup = std::function<Endpoints(const std::string& host, const std::string& service, Flags flags,
                                           boost::system::error_code& error)>;

    explicit HostResolver(Lookup lookup);
    // The system resolver (getaddrinfo), stream sockets.
    static Lookup systemLookup(boost::asio::any_io_executor executor);

    // Throws boost::system::system_error with the location "resolve" when nothing is found.
    Endpoints resolve(const std::string& host, int port);

private:
    Endpoints resolveName(const std::string& host, const std::string& service, boost::system::error_code& error);

    Lookup lookup;
};
