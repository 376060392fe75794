#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

// A blocking TCP peer on 127.0.0.1 for link tests: listens on an ephemeral port (or
// connects to one), with every wait bounded.
class LoopbackPeer {
public:
    using Limit = std::chrono::milliseconds;
    using tcp = boost::asio::ip::tcp;

    static LoopbackPeer listening()
    {
        LoopbackPeer peer;
        peer.acceptor.emplace(*peer.io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        return peer;
    }
    static LoopbackPeer connectedTo(int port)
    {
        LoopbackPeer peer;
        peer.connection.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), port));
        return peer;
    }
    // A port that nothing listens on (as far as the system can tell right now).
    static int unusedPort() { return listening().localPort(); }

    int localPort() const { return acceptor->local_endpoint().port(); }
    bool accept(Limit limit = std::chrono::seconds(5))
    {
        if (!readable(acceptor->native_handle(), limit))
            return false;
        closeConnection();
        boost::system::error_code error;
        acceptor->accept(connection, error);
        return !error;
    }
    void send(const std::string& data)
    {
        boost::system::error_code ignored;
        boost::asio::write(connection, boost::asio::buffer(data), ignored);
    }
    // Reads up to and including the next NUL, until the peer closes, or until the limit passes;
    // byte by byte, so nothing past the NUL is taken from the socket.
    std::string receiveMessage(Limit limit = std::chrono::seconds(5))
    {
        std::string data;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char c;
        boost::system::error_code error;
        while (data.empty() || data.back() != '\0') {
            auto left = std::chrono::duration_cast<Limit>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(connection.native_handle(), left) ||
                connection.read_some(boost::asio::buffer(&c, 1), error) != 1)
                break;
            data += c;
        }
        return data;
    }
    // True when the other side has closed the connection within the limit.
    bool closedByPeer(Limit limit = std::chrono::seconds(5))
    {
        char c;
        return readable(connection.native_handle(), limit) && ::recv(connection.native_handle(), &c, 1, MSG_PEEK) == 0;
    }
    void closeConnection()
    {
        boost::system::error_code ignored;
        connection.close(ignored);
    }

private:
    LoopbackPeer() = default;

    static bool readable(int fd, Limit limit)
    {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
    }

    // On the heap, so that the sockets' reference to it survives a move.
    std::unique_ptr<boost::asio::io_context> io = std::make_unique<boost::asio::io_context>();
    tcp::socket connection{*io};
    std::optional<tcp::acceptor> acceptor;
};
