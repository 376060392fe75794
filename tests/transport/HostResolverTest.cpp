#include "transport/HostResolver.h"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

// The lookup answers as the C library does on a box whose interface is up without an IPv4
// address: nothing for the configured address families, names only when not numeric-only.
TEST(HostResolver, NumericAddressesSkipTheConfiguredCheckNamesFallBackToLoopback)
{
    std::string calls;
    HostResolver resolver([&calls](const std::string& host, const std::string&, HostResolver::Flags flags,
                                   boost::system::error_code& error) {
        calls += " " + std::to_string(flags);
        const auto address = make_address(host, error);
        HostResolver::Endpoints found;
        if (!error)
            found = {{address, 3972}};
        else if (!(flags & tcp::resolver::numeric_host) && host == "localhost")
            found = {{make_address("10.1.1.1"), 3972}, {make_address("::1"), 3972}};
        if (flags & tcp::resolver::address_configured)
            found.clear();
        error = found.empty() ? boost::asio::error::host_not_found : boost::system::error_code();
        return found;
    });
    auto resolve = [&](const std::string& host) {
        std::string addresses;
        calls.clear();
        try {
            for (const tcp::endpoint& endpoint : resolver.resolve(host, 3972))
                addresses += endpoint.address().to_string();
        } catch (const boost::system::system_error& error) {
            addresses = error.what();
        }
        return addresses + " after" + calls;
    };
    const std::string numeric = " " + std::to_string(tcp::resolver::numeric_host | tcp::resolver::numeric_service);
    const std::string name = numeric + " " + std::to_string(tcp::resolver::address_configured) + " 0";
    const std::string notFound = boost::system::error_code(boost::asio::error::host_not_found).message();
    EXPECT_EQ(resolve("10.9.9.1"), "10.9.9.1 after" + numeric);
    EXPECT_EQ(resolve("::1"), "::1 after" + numeric);
    EXPECT_EQ(resolve("localhost"), "::1 after" + name);
    EXPECT_EQ(resolve("nowhere"), "resolve: " + notFound + " after" + name);
}
