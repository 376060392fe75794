#include "confclient/ConfClientProtocol.h"

ConfClientProtocol::ConfClientProtocol(boost::asio::io_context&, std::shared_ptr<TcpClientInterface> mainLink,
                                       NetManager* netManager)
    : netManager(netManager)
{
    attachInterface(mainLink);
}

ConfClientProtocol::~ConfClientProtocol()
{
    if (link)
        link->close();
}

void ConfClientProtocol::handleData(const std::string&, Interface*) {}

void ConfClientProtocol::attachInterface(std::shared_ptr<Interface> newLink)
{
    link = std::move(newLink);
    link->setProtocol(this);
}

void ConfClientProtocol::clearReplyCommands()
{
    deviceListCommand.reset();
    replyCommand.reset();
}
