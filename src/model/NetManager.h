#pragma once

#include "core/Command.h"
#include "model/SystemTree.h"

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>

class ConfClientProtocol;

// The single owner of the system model: holds the SystemTree and the configuration-daemon
// protocol, and offers the host request handlers the operations they need. Worker thread only
// (but `connect`, which runs on the main thread during start-up).
class NetManager {
public:
    NetManager();
    virtual ~NetManager();

    // Creates the link to the configuration daemon (port 3972 of `address`) and its protocol,
    // which opens its second link to `directPort` of the same host.
    void connect(boost::asio::io_context& ioContext, const std::string& address, int port = 3972,
                 int directPort = 3973);

    SystemTree& tree() { return systemTree; }
    ConfClientProtocol* confClientProtocol() { return confClient.get(); }

    // Erases "system" and "devices" and clears the marks that they were requested.
    void forgetSystem();
    // Drops the reply commands waiting on the configuration-daemon link.
    void dropPendingCommands();

    // The Spread configuration text of a new system, and the reading of a received one.
    std::string makeSpreadFile() const;
    void parseSpreadFile(const std::string& text);

private:
    SystemTree systemTree;
    std::shared_ptr<ConfClientProtocol> confClient;
    bool systemRequested = false;
    bool devicesRequested = false;
};
