#pragma once

#include "transport/FlowGate.h"
#include "transport/HostResolver.h"
#include "transport/Interface.h"
#include "transport/LinkHealth.h"
#include "transport/SendQueue.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

#include <array>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

// A TCP client link. It connects when given a server or reopened, never retries by itself,
// and empties its send queue on every drop and close. With a flow gate, a send queue above its
// mark counts as backed up until it is down to the low mark: meanwhile the client connections
// whose last requests sent to the daemon have their next requests held back (FlowGate.h).
class TcpClientInterface : public Interface {
public:
    using Server = std::pair<std::string, int>;

    // The disconnect command is kept but never run: a drop shows at the next send (the daemon gives none).
    TcpClientInterface(boost::asio::io_context& ioContext, std::shared_ptr<Command> disconnectCommand);
    ~TcpClientInterface() override;

    void setServer(const std::string& host, int port);
    // Servers tried in turn, the next after each failure. The daemon gives one; a configuration
    // daemon reachable at several addresses would give them all.
    void setServers(const std::vector<Server>& list);
    std::string currentHost() const;
    int currentPort() const;

    void close() override;
    void open() override;
    void send(const std::string& data) override;
    bool isConnected() override;
    void setOption(int option, int value) override;
    // Set before the link is used.
    void setFlowGate(std::shared_ptr<FlowGate> newGate) { gate = std::move(newGate); }
    // Whether it is up, its traffic and its last failure; event loop only.
    LinkHealth::Figures health() const { return linkHealth.figures(); }

    // 0 makes `open` do nothing while the link is enabled; the daemon never sets it.
    static constexpr int optionReopenAllowed = 1;

private:
    using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;

    void connect();
    void doConnect();
    void handleConnect(unsigned attempt, const boost::system::error_code& error);
    void dropConnection();
    void startRead();
    void handleRead(unsigned attempt, const boost::system::error_code& error, std::size_t size);
    void doSend(const std::string& data);
    void startWrite();
    void handleWrite(unsigned attempt, const boost::system::error_code& error, std::size_t written);
    void doClose();
    void shutDownSocket();
    std::shared_ptr<TcpClientInterface> self();
    // Tells the gate when the send queue crosses its marks; event loop only.
    void updateBackedUp();
    void clearQueue();

    std::atomic<bool> enabled{false};
    std::vector<Server> servers;
    std::size_t currentServer = 0;
    mutable std::mutex serverLock;
    boost::asio::ip::tcp::socket socket;
    Strand strand;
    HostResolver resolver;
    SendQueue txQueue;
    std::shared_ptr<FlowGate> gate;
    bool backedUp = false;
    std::atomic<bool> connected{false};
    std::array<char, flowlimits::readChunk> rxBuffer{};
    std::atomic<bool> reopenAllowed{true};
    LinkHealth linkHealth;
    // Counts connection attempts and closes on the event loop, so completions of an
    // abandoned connection are recognised and ignored.
    unsigned attemptNumber = 0;
};
