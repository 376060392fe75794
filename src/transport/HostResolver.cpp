#include "transport/HostResolver.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>

using boost::asio::ip::tcp;

HostResolver::HostResolver(Lookup lookup) : lookup(std::move(lookup)) {}

HostResolver::Lookup HostResolver::systemLookup(boost::asio::any_io_executor executor)
{
    return [executor](const std::string& host, const std::string& service, Flags flags,
                      boost::system::error_code& error) {
        tcp::resolver resolver(executor);
        tcp::resolver::results_type results = resolver.resolve(host, service, flags, error);
        return Endpoints(results.begin(), results.end());
    };
}

HostResolver::Endpoints HostResolver::resolve(const std::string& host, int port)
{
    const std::string service = std::to_string(port);
    boost::system::error_code error;
    Endpoints endpoints = lookup(host, service, tcp::resolver::numeric_host | tcp::resolver::numeric_service, error);
    if (error)
        endpoints = resolveName(host, service, error);
    // Nothing is logged: the link keeps the error for the status report, and it ends the event loop's pass.
    if (error)
        throw boost::system::system_error(error, "resolve");
    return endpoints;
}

HostResolver::Endpoints HostResolver::resolveName(const std::string& host, const std::string& service,
                                                  boost::system::error_code& error)
{
    error.clear();
    Endpoints endpoints = lookup(host, service, tcp::resolver::address_configured, error);
    if (!error && !endpoints.empty())
        return endpoints;
    const boost::system::error_code configuredError = error ? error : boost::asio::error::host_not_found;
    error.clear();
    Endpoints all = lookup(host, service, Flags(), error);
    endpoints.clear();
    std::copy_if(all.begin(), all.end(), std::back_inserter(endpoints),
                 [](const tcp::endpoint& endpoint) { return endpoint.address().is_loopback(); });
    error = endpoints.empty() ? configuredError : boost::system::error_code();
    return endpoints;
}
