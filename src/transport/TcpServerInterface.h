#pragma once

#include "transport/Interface.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <atomic>
#include <deque>

// The link of one accepted client connection. It reads only once opened; texts sent
// before that wait and are written after `open`. When the peer goes, the link closes
// itself and queues its disconnect command after every delivery of received data.
class TcpServerInterface : public Interface {
public:
    explicit TcpServerInterface(boost::asio::io_context& ioContext);

    boost::asio::ip::tcp::socket& acceptSocket() { return socket; }

    void close() override;
    void open() override;
    void send(const std::string& data) override;
    bool isConnected() override;

private:
    std::shared_ptr<TcpServerInterface> self();
    void doOpen();
    void doSend(const std::string& data);
    void doClose();
    void startRead();
    void handleRead(const boost::system::error_code& error, std::size_t size);
    void startWrite();
    void handleWrite(const boost::system::error_code& error);

    std::atomic<bool> enabled{false};
    boost::asio::ip::tcp::socket socket;
    std::deque<std::string> txQueue;
    // Texts at the front of txQueue that the write in progress carries.
    std::size_t txInFlight = 0;
    std::atomic<bool> connected{true};
    std::array<char, 1024> rxBuffer{};
};
