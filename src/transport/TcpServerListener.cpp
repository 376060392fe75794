#include "transport/TcpServerListener.h"

#include "core/CommandSingleton.h"

#include <boost/system/system_error.hpp>

using boost::asio::ip::tcp;

namespace {
void check(const boost::system::error_code& error, const char* location)
{
    if (error)
        throw boost::system::system_error(error, location);
}
}  // namespace

TcpServerListener::TcpServerListener(boost::asio::io_context& ioContext, int port, std::shared_ptr<Command> command,
                                     std::shared_ptr<FlowGate> gate, UnreadLimits unreadLimits,
                                     std::shared_ptr<ClientCensus> census)
    : ioContext(&ioContext), newConnectionCommand(std::move(command)), gate(std::move(gate)),
      unreadLimits(unreadLimits), census(std::move(census)), acceptor(ioContext)
{
    boost::system::error_code error;
    acceptor.open(tcp::v4(), error);
    check(error, "open");
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    check(error, "set_option");
    acceptor.bind(tcp::endpoint(tcp::v4(), static_cast<unsigned short>(port)), error);
    check(error, "bind");
    acceptor.listen(flowlimits::listenBacklog, error);
    check(error, "listen");
    accepting = true;
    startAccept();
}

int TcpServerListener::localPort() const { return acceptor.local_endpoint().port(); }

void TcpServerListener::startAccept()
{
    auto link = std::make_shared<TcpServerInterface>(*ioContext, gate, unreadLimits, census);
    acceptor.async_accept(link->acceptSocket(),
        [this, link](const boost::system::error_code& error) { handleAccept(link, error); });
}

void TcpServerListener::handleAccept(const std::shared_ptr<TcpServerInterface>& link,
                                     const boost::system::error_code& error)
{
    accepting = false;
    // A failed accept ends accepting for good; connections already accepted go on.
    if (error) {
        acceptFailed = true;
        return;
    }
    ++liveConnections;
    link->noteAccepted();
    if (census)
        census->accepted();
    link->setClosedCallback([listener = weak_from_this()] {
        if (std::shared_ptr<TcpServerListener> alive = listener.lock())
            alive->connectionClosed();
    });
    {
        std::lock_guard<std::mutex> guard(pendingLinksLock);
        pendingLinks.push_back(link);
    }
    CommandSingleton::instance().enqueue(newConnectionCommand, "Incoming TCP connection");
    if (liveConnections < connectionCeiling) {
        accepting = true;
        startAccept();
    }
}

void TcpServerListener::connectionClosed()
{
    --liveConnections;
    if (!accepting && !acceptFailed && liveConnections < connectionCeiling) {
        accepting = true;
        startAccept();
    }
}

std::shared_ptr<TcpServerInterface> TcpServerListener::takePendingConnection()
{
    std::lock_guard<std::mutex> guard(pendingLinksLock);
    if (pendingLinks.empty())
        return nullptr;
    std::shared_ptr<TcpServerInterface> link = std::move(pendingLinks.front());
    pendingLinks.pop_front();
    if (!link->isConnected())
        return nullptr;
    return link;
}
