#pragma once

#include "model/NetManager.h"
#include "wire/Ports.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <chrono>
#include <list>
#include <memory>
#include <string>

class ChangeLog;
class ClientCensus;
class FlowGate;
class JbpHostProtocol;
class StatusListener;
class SummaryPublisher;
class TcpClientInterface;
class TcpServerListener;

// Owns everything long-lived: the listener for configuration clients, their protocols,
// the network manager (with the configuration-daemon link), the event loop and, when asked
// for, the status socket. SIGUSR1 writes both configuration-daemon links' traffic to the log.
class KipController {
public:
    explicit KipController(const std::string& address, int listenPort = kipport::host,
                           int confPort = kipport::confDaemon, int confDirectPort = kipport::confDaemonDirect);
    virtual ~KipController();

    // Runs the event loop for ever, pausing 1 second after each return from it.
    void run();
    // One pass of the loop: returns when the loop stops or a handler throws. Nothing is logged.
    void runOnce();
    // Serves the status report at `path`; without a call there is no status socket. A path that
    // cannot be used is logged once, and kipd goes on without status.
    void serveStatus(const std::string& path);

    // Worker-thread targets of the listener's and the protocols' commands.
    void acceptConnection(const std::string& text);
    void purgeClosedConnections(const std::string& text);

    // For tests: the loop to post to, the port bound and the live connections.
    boost::asio::io_context& eventLoop() { return ioService; }
    int listeningPort() const;
    // What the client connections have done; any thread.
    const ClientCensus& clientCensus() const { return *census; }
    // Worker thread only, like the list itself.
    std::size_t connectionCount() const { return connections.size(); }

private:
    // Event loop: the links' histories, at notice level, named "main" and "direct".
    void waitForHistorySignal();
    void dumpLinkHistories();

    // Declared first so that it outlives every socket built on it, and the network manager
    // before the connections, whose protocols call it as they go.
    boost::asio::io_context ioService;
    // The bounds over all client connections together; shared with every link, which may outlive this.
    std::shared_ptr<FlowGate> flowGate;
    std::shared_ptr<ClientCensus> census;
    NetManager netManager;
    std::shared_ptr<TcpServerListener> listener;
    std::list<std::shared_ptr<JbpHostProtocol>> connections;
    std::shared_ptr<ChangeLog> changeLog;
    std::shared_ptr<TcpClientInterface> mainLink;
    std::shared_ptr<TcpClientInterface> directLink;
    boost::asio::signal_set historySignal;
    const std::chrono::system_clock::time_point startedAt = std::chrono::system_clock::now();
    const std::chrono::steady_clock::time_point startedSteady = std::chrono::steady_clock::now();
    std::shared_ptr<SummaryPublisher> summaryPublisher;
    std::shared_ptr<StatusListener> statusListener;
};
