#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

// A blocking TCP peer on 127.0.0.1 for link tests: listens on an ephemeral port (or
// connects to one), with every wait bounded.
class LoopbackPeer {
public:
    using Limit = std::chrono::milliseconds;

    static LoopbackPeer listening()
    {
        LoopbackPeer peer;
        peer.listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::bind(peer.listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(peer.listener, 16) != 0 ||
            ::getsockname(peer.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        peer.port = ntohs(address.sin_port);
        return peer;
    }
    static LoopbackPeer connectedTo(int port)
    {
        LoopbackPeer peer;
        peer.connection = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(port);
        if (::connect(peer.connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect");
        return peer;
    }
    // A port that nothing listens on (as far as the system can tell right now).
    static int unusedPort() { return listening().localPort(); }

    LoopbackPeer(LoopbackPeer&& other) noexcept
        : listener(other.listener), connection(other.connection), port(other.port)
    {
        other.listener = other.connection = -1;
    }
    ~LoopbackPeer()
    {
        closeConnection();
        if (listener >= 0)
            ::close(listener);
    }

    int localPort() const { return port; }
    bool accept(Limit limit = std::chrono::seconds(5))
    {
        if (!readable(listener, limit))
            return false;
        closeConnection();
        connection = ::accept(listener, nullptr, nullptr);
        return connection >= 0;
    }
    void send(const std::string& data) { ::send(connection, data.data(), data.size(), MSG_NOSIGNAL); }
    // Reads until `count` bytes have come, the peer closes, or the limit passes.
    std::string receive(std::size_t count, Limit limit = std::chrono::seconds(5))
    {
        return read([count](const std::string& data) { return data.size() == count; }, limit);
    }
    // Reads up to and including the next NUL.
    std::string receiveMessage(Limit limit = std::chrono::seconds(5))
    {
        return read([](const std::string& data) { return !data.empty() && data.back() == '\0'; }, limit);
    }
    // True when the other side has closed the connection within the limit.
    bool closedByPeer(Limit limit = std::chrono::seconds(5))
    {
        char c;
        return readable(connection, limit) && ::recv(connection, &c, 1, MSG_PEEK) == 0;
    }
    void closeConnection()
    {
        if (connection >= 0)
            ::close(connection);
        connection = -1;
    }

private:
    LoopbackPeer() = default;

    // Byte by byte, so nothing past the end is taken from the socket.
    template <class Done>
    std::string read(Done done, Limit limit)
    {
        std::string data;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char c;
        while (!done(data)) {
            auto left = std::chrono::duration_cast<Limit>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readable(connection, left) || ::recv(connection, &c, 1, 0) != 1)
                break;
            data += c;
        }
        return data;
    }
    static sockaddr_in loopback(int port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static bool readable(int fd, Limit limit)
    {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
    }

    int listener = -1;
    int connection = -1;
    int port = 0;
};
