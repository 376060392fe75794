#pragma once

#include "core/Command.h"
#include "transport/Protocol.h"
#include "transport/TcpClientInterface.h"

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>

class NetManager;

// The protocol of the configuration-daemon link (skeleton; filled by the link's own work).
class ConfClientProtocol : public Protocol {
public:
    ConfClientProtocol(boost::asio::io_context& ioContext, std::shared_ptr<TcpClientInterface> mainLink,
                       NetManager* netManager);
    ~ConfClientProtocol() override;

    void handleData(const std::string& data, Interface* link) override;
    void attachInterface(std::shared_ptr<Interface> link) override;

    void clearReplyCommands();

private:
    NetManager* netManager;
    std::shared_ptr<Command> replyCommand;
    std::shared_ptr<Command> deviceListCommand;
};
