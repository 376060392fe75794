#pragma once

#include "core/Command.h"
#include "transport/TcpServerInterface.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <list>
#include <memory>
#include <mutex>

// Accepts client connections on one IPv4 port. Each accepted link is parked until the
// new-connection command, queued once per link, takes it.
class TcpServerListener {
public:
    // Throws boost::system::system_error when the port cannot be opened, bound or listened on.
    TcpServerListener(boost::asio::io_context& ioContext, int port, std::shared_ptr<Command> newConnectionCommand);
    virtual ~TcpServerListener() = default;

    // The oldest accepted link, or none when it has already lost its peer.
    std::shared_ptr<TcpServerInterface> takePendingConnection();
    // The port actually bound (the given one, or the system's choice for port 0).
    int localPort() const;

private:
    void startAccept();
    void handleAccept(const std::shared_ptr<TcpServerInterface>& link, const boost::system::error_code& error);

    boost::asio::io_context* ioContext;
    std::shared_ptr<Command> newConnectionCommand;
    boost::asio::ip::tcp::acceptor acceptor;
    std::list<std::shared_ptr<TcpServerInterface>> pendingLinks;
    std::mutex pendingLinksLock;
};
