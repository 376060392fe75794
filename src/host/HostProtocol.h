#pragma once

#include "core/Command.h"
#include "transport/Protocol.h"

#include <memory>
#include <string>

// A protocol on a client connection: it learns when the peer has gone and reports that
// through its close command.
class HostProtocol : public Protocol {
public:
    virtual void handleClosed(const std::string& reason) = 0;

    void setCloseCommand(std::shared_ptr<Command> command) { closeCommand = std::move(command); }
    bool isConnected() const { return connected; }

protected:
    std::shared_ptr<Command> closeCommand;
    bool connected = true;
};
