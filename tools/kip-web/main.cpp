// kip-web: the configurator page in the browser, bridged to kipd's host protocol.
#include "Bounds.h"
#include "Listener.h"
#include "wire/Ports.h"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const usage =
    "Usage: kip-web [--listen ADDR:PORT] [--kipd HOST] [--token-file FILE] [--allow-host NAME[:PORT]]...\n"
    "               [--trusted-proxy ADDR] [--kipd-status PATH]\n"
    "       kip-web --new-token FILE\n"
    "\n"
    "Serves the configurator page and bridges its WebSocket to kipd.\n"
    "  --listen ADDR:PORT      where the page is served (default 127.0.0.1:8080; port 0 picks one);\n"
    "                          beyond loopback it needs --token-file\n"
    "  --kipd HOST             the box running kipd, on its port 3971 (default 127.0.0.1)\n"
    "  --token-file FILE       clients must show the token in FILE (the page asks for it once)\n"
    "  --allow-host NAME[:PORT]  a name the page may be reached under, besides loopback and the\n"
    "                          listen address (a reverse proxy's name, the box's DNS name)\n"
    "  --trusted-proxy ADDR    the reverse proxy connecting from ADDR names each client in the last\n"
    "                          entry of X-Forwarded-For; its clients are then counted apart\n"
    "  --kipd-status PATH      kipd's status socket, for /metrics and the page's view of the configuration\n"
    "                          daemon (default $KIPD_STATUS_SOCKET, else /run/kipd/status, when --kipd is\n"
    "                          this box; an empty PATH reads none)\n"
    "  --new-token FILE        write a new random token to FILE, readable by its owner only, and exit\n"
    "  --help                  print this and exit\n";

struct Options {
    boost::asio::ip::tcp::endpoint listen{boost::asio::ip::make_address("127.0.0.1"), 8080};
    std::string kipdHost = "127.0.0.1";
    std::vector<std::string> allowedHosts;
    std::string tokenFile;
    std::string newTokenFile;
    std::optional<boost::asio::ip::address> trustedProxy;
    std::optional<std::string> kipdStatus;
};

// What the open-file limit leaves for browsers' connections and for bridges, each of which
// holds a connection to kipd besides its browser's.
struct DescriptorBudget {
    std::size_t connections;
    std::size_t bridges;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "127.0.0.1:8080", "[::1]:8080".
boost::asio::ip::tcp::endpoint parseEndpoint(const std::string& text)
{
    std::string::size_type colon = text.rfind(':');
    if (colon == std::string::npos)
        throw UsageError("--listen wants ADDR:PORT");
    std::string address = text.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    boost::system::error_code error;
    boost::asio::ip::address parsed = boost::asio::ip::make_address(address, error);
    std::string port = text.substr(colon + 1);
    if (error || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535)
        throw UsageError("--listen wants ADDR:PORT, got " + text);
    return {parsed, static_cast<unsigned short>(std::stoul(port))};
}

boost::asio::ip::address parseAddress(const std::string& text)
{
    boost::system::error_code error;
    boost::asio::ip::address address = boost::asio::ip::make_address(text, error);
    if (error)
        throw UsageError("--trusted-proxy wants an IP address, got " + text);
    return unmapped(address);
}

Options parseOptions(int argc, char* argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        if (option == "--listen" && hasValue)
            options.listen = parseEndpoint(argv[++i]);
        else if (option == "--kipd" && hasValue)
            options.kipdHost = argv[++i];
        else if (option == "--allow-host" && hasValue)
            options.allowedHosts.push_back(argv[++i]);
        else if (option == "--token-file" && hasValue)
            options.tokenFile = argv[++i];
        else if (option == "--new-token" && hasValue)
            options.newTokenFile = argv[++i];
        else if (option == "--trusted-proxy" && hasValue)
            options.trustedProxy = parseAddress(argv[++i]);
        else if (option == "--kipd-status" && hasValue)
            options.kipdStatus = argv[++i];
        else if (option == "--help")
            throw UsageError("");
        else
            throw UsageError("unknown option " + option);
    }
    if (!options.listen.address().is_loopback() && options.tokenFile.empty() && options.newTokenFile.empty())
        throw std::runtime_error("--listen " + options.listen.address().to_string() +
                                 " is beyond loopback: anyone who reaches it could drive the box, so give "
                                 "--token-file FILE (make one with --new-token FILE)");
    return options;
}

// Raises the soft limit to the hard one first, as far as it goes.
DescriptorBudget descriptorBudget()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        throw std::runtime_error("cannot read the open-file limit");
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    std::size_t usable = static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
    usable = usable > bounds::descriptorReserve ? usable - bounds::descriptorReserve : 0;
    std::size_t bridges = std::min(bounds::maxBridges, usable / 4);
    if (bridges == 0)
        throw std::runtime_error("an open-file limit of " + std::to_string(limit.rlim_cur) +
                                 " leaves kip-web no room: give it " + std::to_string(bounds::descriptorReserve + 4) +
                                 " or more");
    return {std::min(bounds::maxConnections, usable - bridges), bridges};
}

bool fitsSocketAddress(const std::string& path)
{
    try {
        boost::asio::local::stream_protocol::endpoint endpoint(path);
        return true;
    } catch (const boost::system::system_error&) {
        return false;
    }
}

// kipd's status socket is read only where kipd is: on this box, unless named.
std::optional<std::string> statusSocketOf(const Options& options)
{
    if (options.kipdStatus) {
        if (!fitsSocketAddress(*options.kipdStatus))
            throw UsageError("--kipd-status wants a socket path of at most 107 bytes");
        return options.kipdStatus->empty() ? std::nullopt : options.kipdStatus;
    }
    boost::system::error_code error;
    bool local = options.kipdHost == "localhost" ||
                 (boost::asio::ip::make_address(options.kipdHost, error).is_loopback() && !error);
    if (!local)
        return std::nullopt;
    const char* named = std::getenv("KIPD_STATUS_SOCKET");
    std::string path = named && *named ? named : "/run/kipd/status";
    if (fitsSocketAddress(path))
        return path;
    std::cerr << "kip-web: KIPD_STATUS_SOCKET is longer than a socket path may be: kipd's status is not read\n";
    return std::nullopt;
}

std::shared_ptr<Site> siteOf(boost::asio::io_context& context, const Options& options, unsigned short port)
{
    HostAllowList hosts(options.listen.address(), port);
    for (const std::string& name : options.allowedHosts)
        if (!hosts.allow(name))
            throw UsageError("--allow-host wants NAME or NAME:PORT, got " + name);
    std::optional<AccessToken> token;
    if (!options.tokenFile.empty())
        token = AccessToken::readFrom(options.tokenFile);
    DescriptorBudget budget = descriptorBudget();
    auto connections = std::make_shared<ConnectionCaps>(budget.connections,
                                                        std::min(bounds::maxConnectionsPerClient, budget.connections));
    auto slots = std::make_shared<BridgeSlots>(budget.bridges, std::min(bounds::maxBridgesPerClient, budget.bridges),
                                               budget.bridges * bounds::bridgesForNewClients / bounds::maxBridges);
    auto status = std::make_shared<StatusReader>(context.get_executor(), statusSocketOf(options));
    return std::make_shared<Site>(Site{Admission(std::move(hosts), std::move(token)), ClientKeys(options.trustedProxy),
                                       std::move(connections), std::move(slots), options.kipdHost, std::move(status),
                                       WebCounters()});
}

// A handler that throws past its connection's guard is logged; the page stays served.
void run(boost::asio::io_context& context)
{
    for (;;) {
        try {
            context.run();
            return;
        } catch (const std::exception& error) {
            std::cerr << "kip-web: " << error.what() << '\n';
        }
    }
}

std::string urlOf(const boost::asio::ip::tcp::endpoint& endpoint)
{
    std::string address = endpoint.address().to_string();
    if (endpoint.address().is_v6())
        address = "[" + address + "]";
    return "http://" + address + ":" + std::to_string(endpoint.port()) + "/";
}

}  // namespace

int main(int argc, char* argv[])
{
    try {
        Options options = parseOptions(argc, argv);
        if (!options.newTokenFile.empty()) {
            AccessToken::writeNew(options.newTokenFile);
            std::cout << "kip-web: wrote a new token to " << options.newTokenFile << '\n';
            return 0;
        }
        boost::asio::io_context context;
        Listener listener(context, options.listen);
        listener.start(siteOf(context, options, listener.endpoint().port()));
        boost::asio::signal_set signals(context, SIGINT, SIGTERM);
        signals.async_wait([&context](boost::system::error_code, int) { context.stop(); });
        std::cout << "kip-web: serving " << urlOf(listener.endpoint()) << " (kipd at " << options.kipdHost
                  << ':' << kipport::host << (options.tokenFile.empty() ? "" : ", token required") << ")" << std::endl;
        run(context);
    } catch (const UsageError& error) {
        if (*error.what())
            std::cerr << "kip-web: " << error.what() << "\n\n";
        (*error.what() ? std::cerr : std::cout) << usage;
        return *error.what() ? 1 : 0;
    } catch (const std::exception& error) {
        std::cerr << "kip-web: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
