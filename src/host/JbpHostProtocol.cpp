#include "host/JbpHostProtocol.h"

#include "model/NetManager.h"
#include "transport/Interface.h"

JbpHostProtocol::JbpHostProtocol(std::shared_ptr<Interface> newLink, NetManager* netManager)
    : netManager(netManager)
{
    link = std::move(newLink);
}

JbpHostProtocol::~JbpHostProtocol()
{
    if (link)
        link->setProtocol(nullptr);
    netManager->dropPendingCommands();
}

void JbpHostProtocol::handleData(const std::string&, Interface*) {}

void JbpHostProtocol::attachInterface(std::shared_ptr<Interface> newLink)
{
    link = std::move(newLink);
    link->setProtocol(this);
}

void JbpHostProtocol::handleClosed(const std::string&)
{
    connected = false;
    if (closeCommand)
        closeCommand->execute("Interface closed connection");
}
