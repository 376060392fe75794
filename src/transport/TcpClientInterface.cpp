#include "transport/TcpClientInterface.h"

#include "log/Log.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

using boost::asio::ip::tcp;

TcpClientInterface::TcpClientInterface(boost::asio::io_context& ioContext, std::shared_ptr<Command> command)
    : socket(ioContext), strand(boost::asio::make_strand(ioContext)),
      resolver(HostResolver::systemLookup(ioContext.get_executor()))
{
    setDisconnectCommand(std::move(command));
}

// A link that goes while backed up must not leave the gate holding its senders' requests.
TcpClientInterface::~TcpClientInterface()
{
    if (backedUp && gate)
        gate->linkBackedUp(false);
}

std::shared_ptr<TcpClientInterface> TcpClientInterface::self()
{
    return std::static_pointer_cast<TcpClientInterface>(shared_from_this());
}

void TcpClientInterface::setServer(const std::string& host, int port) { setServers({Server(host, port)}); }

void TcpClientInterface::setServers(const std::vector<Server>& list)
{
    {
        std::lock_guard<std::mutex> guard(serverLock);
        servers = list;
        currentServer = 0;
    }
    connect();
}

std::string TcpClientInterface::currentHost() const
{
    std::lock_guard<std::mutex> guard(serverLock);
    return servers.empty() ? std::string() : servers[currentServer].first;
}

int TcpClientInterface::currentPort() const
{
    std::lock_guard<std::mutex> guard(serverLock);
    return servers.empty() ? 0 : servers[currentServer].second;
}

// `connected` is set only once the socket is open and cleared before it is closed.
bool TcpClientInterface::isConnected() { return connected; }

void TcpClientInterface::setOption(int option, int value)
{
    if (option == optionReopenAllowed)
        reopenAllowed = value != 0;
}

void TcpClientInterface::connect()
{
    enabled = true;
    boost::asio::post(strand, [self = self()] { self->doConnect(); });
}

void TcpClientInterface::doConnect()
{
    std::lock_guard<std::mutex> guard(serverLock);
    if (servers.empty())
        return;
    const Server& server = servers[currentServer];
    HostResolver::Endpoints endpoints;
    try {
        endpoints = resolver.resolve(server.first, server.second);
    } catch (const boost::system::system_error& error) {
        // Not logged: the status report shows it; the next open tries again.
        linkHealth.failed(error.what());
        throw;
    }
    unsigned attempt = ++attemptNumber;
    boost::asio::async_connect(socket, endpoints,
        boost::asio::bind_executor(strand, [self = self(), attempt](const boost::system::error_code& e, const tcp::endpoint&) {
            self->handleConnect(attempt, e);
        }));
}

void TcpClientInterface::handleConnect(unsigned attempt, const boost::system::error_code& error)
{
    if (attempt != attemptNumber)
        return;
    if (error) {
        linkHealth.failed(error.message());
        dropConnection();
        return;
    }
    connected = true;
    linkHealth.connected();
    if (!txQueue.empty())
        startWrite();
    startRead();
}

void TcpClientInterface::dropConnection()
{
    {
        std::lock_guard<std::mutex> guard(serverLock);
        connected = false;
        if (!servers.empty())
            currentServer = (currentServer + 1) % servers.size();
    }
    ++attemptNumber;
    linkHealth.lost();
    shutDownSocket();
    clearQueue();
}

void TcpClientInterface::shutDownSocket()
{
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void TcpClientInterface::startRead()
{
    socket.async_read_some(boost::asio::buffer(rxBuffer),
        boost::asio::bind_executor(strand, [self = self(), attempt = attemptNumber](const boost::system::error_code& e, std::size_t n) {
            self->handleRead(attempt, e, n);
        }));
}

void TcpClientInterface::handleRead(unsigned attempt, const boost::system::error_code& error, std::size_t size)
{
    if (attempt != attemptNumber)
        return;
    if (error) {
        log(2, "Unable to receive data from %s:%d: %s", currentHost().c_str(), currentPort(), error.message().c_str());
        linkHealth.failed(error.message());
        dropConnection();
        return;
    }
    std::string data(rxBuffer.data(), size);
    linkHealth.received(data);
    addCommLog(currentHost() + " RX: " + data);
    queueReceived(data);
    startRead();
}

void TcpClientInterface::send(const std::string& data)
{
    if (gate)
        gate->noteLinkSend();
    linkHealth.messageSent();
    boost::asio::post(strand, [self = self(), data] { self->doSend(data); });
}

void TcpClientInterface::doSend(const std::string& data)
{
    addCommLog(currentHost() + " TX: " + data);
    txQueue.push(data);
    updateBackedUp();
    if (!isConnected() || txQueue.size() > 1)
        return;
    startWrite();
}

// Every text queued so far goes out in one gathered write, so a burst of messages costs one
// system call instead of one each; the bytes and their order are the same.
void TcpClientInterface::startWrite()
{
    boost::asio::async_write(socket, txQueue.startWrite(),
        boost::asio::bind_executor(strand, [self = self(), attempt = attemptNumber](const boost::system::error_code& e, std::size_t n) {
            self->handleWrite(attempt, e, n);
        }));
}

void TcpClientInterface::handleWrite(unsigned attempt, const boost::system::error_code& error, std::size_t written)
{
    linkHealth.bytesWritten(written);
    if (attempt != attemptNumber)
        return;
    txQueue.completeWrite();
    updateBackedUp();
    if (error) {
        log(2, "Unable to send data to %s:%d: %s", currentHost().c_str(), currentPort(), error.message().c_str());
        linkHealth.failed(error.message());
        dropConnection();
        return;
    }
    if (!txQueue.empty())
        startWrite();
}

void TcpClientInterface::close()
{
    enabled = false;
    connected = false;
    boost::asio::post(strand, [self = self()] { self->doClose(); });
}

void TcpClientInterface::doClose()
{
    ++attemptNumber;
    linkHealth.lost();
    shutDownSocket();
    clearQueue();
}

void TcpClientInterface::open()
{
    if (enabled && !reopenAllowed)
        return;
    if (enabled)
        close();
    connect();
}

void TcpClientInterface::clearQueue()
{
    txQueue.clear();
    updateBackedUp();
}

void TcpClientInterface::updateBackedUp()
{
    const bool nowBackedUp = txQueue.bytes() > (backedUp ? flowlimits::confLinkLowMark : flowlimits::confLinkHighMark);
    if (nowBackedUp == backedUp)
        return;
    backedUp = nowBackedUp;
    if (gate)
        gate->linkBackedUp(backedUp);
}
