#include "transport/TcpServerInterface.h"

#include "core/CommandSingleton.h"
#include "transport/GatherBuffers.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

using boost::asio::ip::tcp;

TcpServerInterface::TcpServerInterface(boost::asio::io_context& ioContext) : socket(ioContext) {}

std::shared_ptr<TcpServerInterface> TcpServerInterface::self()
{
    return std::static_pointer_cast<TcpServerInterface>(shared_from_this());
}

bool TcpServerInterface::isConnected() { return connected; }

// Socket work always runs on the event loop, whichever thread asked for it.
void TcpServerInterface::close()
{
    enabled = false;
    connected = false;
    boost::asio::post(socket.get_executor(), [self = self()] { self->doClose(); });
}

void TcpServerInterface::doClose()
{
    txQueue.clear();
    txInFlight = 0;
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void TcpServerInterface::open()
{
    enabled = true;
    boost::asio::post(socket.get_executor(), [self = self()] { self->doOpen(); });
}

void TcpServerInterface::doOpen()
{
    if (!connected)
        return;
    if (!txQueue.empty())
        startWrite();
    startRead();
}

void TcpServerInterface::send(const std::string& data)
{
    boost::asio::post(socket.get_executor(), [self = self(), data] { self->doSend(data); });
}

void TcpServerInterface::doSend(const std::string& data)
{
    txQueue.push_back(data);
    if (!enabled || !connected || txQueue.size() > 1)
        return;
    startWrite();
}

void TcpServerInterface::startRead()
{
    socket.async_read_some(boost::asio::buffer(rxBuffer),
        [self = self()](const boost::system::error_code& e, std::size_t n) { self->handleRead(e, n); });
}

void TcpServerInterface::handleRead(const boost::system::error_code& error, std::size_t size)
{
    if (error) {
        connected = false;
        enabled = false;
        doClose();
        if (std::shared_ptr<Command> command = currentDisconnectCommand())
            CommandSingleton::instance().enqueue(command, error.message());
        return;
    }
    queueReceived(std::string(rxBuffer.data(), size));
    startRead();
}

// Every text queued so far goes out in one gathered write, so a burst of replies (device
// reports) costs one system call instead of one each; the bytes and their order are the same.
void TcpServerInterface::startWrite()
{
    txInFlight = txQueue.size();
    boost::asio::async_write(socket, gatherBuffers(txQueue),
        [self = self()](const boost::system::error_code& e, std::size_t) { self->handleWrite(e); });
}

void TcpServerInterface::handleWrite(const boost::system::error_code& error)
{
    if (!connected)
        return;
    txQueue.erase(txQueue.begin(), txQueue.begin() + static_cast<std::ptrdiff_t>(txInFlight));
    txInFlight = 0;
    if (!error && !txQueue.empty())
        startWrite();
}
