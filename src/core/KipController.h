#pragma once

#include "model/NetManager.h"
#include "wire/Ports.h"

#include <boost/asio/io_context.hpp>

#include <list>
#include <memory>
#include <string>

class ClientCensus;
class FlowGate;
class JbpHostProtocol;
class TcpServerListener;

// Owns everything long-lived: the listener for configuration clients, their protocols,
// the network manager (with the configuration-daemon link) and the event loop.
class KipController {
public:
    explicit KipController(const std::string& address, int listenPort = kipport::host,
                           int confPort = kipport::confDaemon, int confDirectPort = kipport::confDaemonDirect);
    virtual ~KipController();

    // Runs the event loop for ever, pausing 1 second after each return from it.
    void run();
    // One pass of the loop: returns when the loop stops or a handler throws.
    void runOnce();

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
    void noteEscapedError(const std::string& text);

    // Declared first so that it outlives every socket built on it, and the network manager
    // before the connections, whose protocols call it as they go.
    boost::asio::io_context ioService;
    // Whether client connections may be read; shared with every link, which may outlive this.
    std::shared_ptr<FlowGate> flowGate;
    std::shared_ptr<ClientCensus> census;
    NetManager netManager;
    std::shared_ptr<TcpServerListener> listener;
    std::list<std::shared_ptr<JbpHostProtocol>> connections;
    // Main thread only: the last error that escaped the loop and was recorded.
    std::string lastEscapedError;
};
