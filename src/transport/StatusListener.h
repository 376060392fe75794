#pragma once

#include "transport/FlowLimits.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// How many status connections at once, and how long each may take to read its line.
struct StatusLimits {
    std::size_t connections = flowlimits::statusConnections;
    std::chrono::milliseconds writeTime = flowlimits::statusWriteTime;
};

// A Unix-domain stream socket that gives each connection one line, the report of that moment,
// and closes it; it reads nothing. Every local user may connect. At most `connections` are
// served at once (more wait in the backlog), and one that has not taken its line within
// `writeTime` is closed, so a client that never reads holds nothing up. Event loop only.
class StatusListener : public std::enable_shared_from_this<StatusListener> {
public:
    using Report = std::function<std::string()>;
    using Limits = StatusLimits;

    // Listens at `path`, replacing a socket left there by a process that has gone. When it
    // cannot (a path too long, a missing folder, a file that is no socket, a socket another
    // process serves), logs one record saying why and returns none.
    static std::shared_ptr<StatusListener> open(boost::asio::io_context& ioContext, const std::string& path,
                                                Report report, Limits limits = Limits());
    // Removes the socket file, if it is still this one's.
    ~StatusListener();

private:
    using Socket = boost::asio::local::stream_protocol::socket;

    StatusListener(boost::asio::io_context& ioContext, std::string path, Report report, Limits limits);
    // Empty when the socket listens; otherwise why not.
    std::string listen();
    boost::system::error_code bindAt();
    void startAccept();
    void handleAccept(const std::shared_ptr<Socket>& socket, const boost::system::error_code& error);
    void serve(const std::shared_ptr<Socket>& socket);
    void served();

    boost::asio::io_context& ioContext;
    const std::string path;
    const Report report;
    const Limits limits;
    boost::asio::local::stream_protocol::acceptor acceptor;
    boost::asio::steady_timer retryTimer;
    std::size_t active = 0;
    bool accepting = false;
    // The socket file this listener made.
    dev_t device = 0;
    ino_t inode = 0;
};
