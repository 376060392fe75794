#pragma once

#include "core/Command.h"
#include "transport/FlowGate.h"
#include "transport/TcpServerInterface.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <limits>
#include <list>
#include <memory>
#include <mutex>

// Accepts client connections on one IPv4 port. Each accepted link is parked until the
// new-connection command, queued once per link, takes it. At most `ceiling` connections live at
// once (accepted and not yet closed): at the ceiling no accept is started, so newcomers wait in
// the kernel's backlog until a connection closes.
class TcpServerListener : public std::enable_shared_from_this<TcpServerListener> {
public:
    // Throws boost::system::system_error when the port cannot be opened, bound or listened on.
    TcpServerListener(boost::asio::io_context& ioContext, int port, std::shared_ptr<Command> newConnectionCommand,
                      std::shared_ptr<FlowGate> gate = nullptr, UnreadLimits unreadLimits = UnreadLimits(),
                      std::shared_ptr<ClientCensus> census = nullptr);
    virtual ~TcpServerListener() = default;

    // The oldest accepted link, or none when it has already lost its peer.
    std::shared_ptr<TcpServerInterface> takePendingConnection();
    // The port actually bound (the given one, or the system's choice for port 0).
    int localPort() const;
    // Any thread; takes effect at the next accept or close.
    void setConnectionCeiling(std::size_t ceiling) { connectionCeiling = ceiling; }

private:
    void startAccept();
    void handleAccept(const std::shared_ptr<TcpServerInterface>& link, const boost::system::error_code& error);
    void connectionClosed();

    boost::asio::io_context* ioContext;
    std::shared_ptr<Command> newConnectionCommand;
    std::shared_ptr<FlowGate> gate;
    const UnreadLimits unreadLimits;
    std::shared_ptr<ClientCensus> census;
    boost::asio::ip::tcp::acceptor acceptor;
    std::list<std::shared_ptr<TcpServerInterface>> pendingLinks;
    std::mutex pendingLinksLock;
    std::atomic<std::size_t> connectionCeiling{std::numeric_limits<std::size_t>::max()};
    // Event loop only.
    std::size_t liveConnections = 0;
    bool accepting = false;
    bool acceptFailed = false;
};
