#include "transport/HostResolver.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

namespace {

// A resolver that knows each host's results and, for "configured" lookups, hides them all as
// the C library does on a box whose only IPv4 address is on loopback.
struct FakeLookup {
    std::vector<HostResolver::Flags> calls;
    bool addressConfigured = false;

    HostResolver::Endpoints operator()(const std::string& host, HostResolver::Flags flags,
                                       boost::system::error_code& error)
    {
        calls.push_back(flags);
        boost::system::error_code notNumeric;
        const auto address = make_address(host, notNumeric);
        HostResolver::Endpoints found;
        if (!notNumeric)
            found = {tcp::endpoint(address, 3972)};
        else if (!(flags & tcp::resolver::numeric_host) && host == "localhost")
            found = {tcp::endpoint(make_address("10.1.1.1"), 3972), tcp::endpoint(make_address("::1"), 3972),
                     tcp::endpoint(make_address("127.0.0.1"), 3972)};
        else if (!(flags & tcp::resolver::numeric_host) && host == "faraway")
            found = {tcp::endpoint(make_address("10.1.1.2"), 3972)};
        if ((flags & tcp::resolver::address_configured) && !addressConfigured)
            found.clear();
        error = found.empty() ? boost::asio::error::host_not_found : boost::system::error_code();
        return found;
    }
};

} // namespace

TEST(HostResolver, NumericAddressesSkipTheConfiguredCheckAndNamesFallBackToLoopback)
{
    const auto numeric = tcp::resolver::numeric_host | tcp::resolver::numeric_service;
    const auto configured = tcp::resolver::address_configured;
    struct Row {
        std::string host;
        bool addressConfigured;
        std::vector<HostResolver::Flags> calls;
        std::vector<std::string> addresses; // empty: "resolve" is thrown
    } rows[] = {
        {"127.0.0.1", false, {numeric}, {"127.0.0.1"}},
        {"::1", false, {numeric}, {"::1"}},
        {"10.9.9.1", false, {numeric}, {"10.9.9.1"}},
        {"faraway", true, {numeric, configured}, {"10.1.1.2"}},
        {"localhost", false, {numeric, configured, HostResolver::Flags()}, {"::1", "127.0.0.1"}},
        {"faraway", false, {numeric, configured, HostResolver::Flags()}, {}},
        {"nowhere", true, {numeric, configured, HostResolver::Flags()}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.host);
        FakeLookup fake;
        fake.addressConfigured = row.addressConfigured;
        HostResolver resolver([&fake](const std::string& host, const std::string& service, HostResolver::Flags flags,
                                      boost::system::error_code& error) {
            EXPECT_EQ(service, "3972");
            return fake(host, flags, error);
        });
        std::vector<std::string> addresses;
        try {
            for (const tcp::endpoint& endpoint : resolver.resolve(row.host, 3972))
                addresses.push_back(endpoint.address().to_string());
        } catch (const boost::system::system_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind("resolve: ", 0), 0u) << error.what();
        }
        EXPECT_EQ(addresses, row.addresses);
        EXPECT_EQ(fake.calls, row.calls);
    }
}

TEST(HostResolver, LogsAFailureOnceUntilASuccessOrAnotherReason)
{
    LogCapture capture;
    boost::system::error_code next;
    HostResolver resolver([&next](const std::string&, const std::string&, HostResolver::Flags,
                                  boost::system::error_code& error) {
        error = next;
        return error ? HostResolver::Endpoints() : HostResolver::Endpoints{tcp::endpoint(make_address("::1"), 1)};
    });
    const boost::system::error_code notFound = boost::asio::error::host_not_found;
    const boost::system::error_code tryAgain = boost::asio::error::host_not_found_try_again;
    for (const boost::system::error_code& outcome : {notFound, notFound, tryAgain, {}, tryAgain, tryAgain}) {
        next = outcome;
        try {
            resolver.resolve("box", 3972);
        } catch (const boost::system::system_error&) {
        }
    }
    const std::string prefix = "Unable to resolve box:3972: ";
    EXPECT_EQ(capture.all(), (std::vector<std::string>{LogCapture::record(3, prefix + notFound.message()),
                                                       LogCapture::record(3, prefix + tryAgain.message()),
                                                       LogCapture::record(3, prefix + tryAgain.message())}));
}
