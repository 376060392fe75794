#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"
#include "transport/TcpClientInterface.h"

NetManager::NetManager() = default;

NetManager::~NetManager() = default;

void NetManager::connect(boost::asio::io_context& ioContext, const std::string& address, int port)
{
    auto mainLink = std::make_shared<TcpClientInterface>(ioContext, nullptr);
    mainLink->setServer(address, port);
    confClient = std::make_shared<ConfClientProtocol>(ioContext, mainLink, this);
}

void NetManager::forgetSystem()
{
    systemTree.eraseTopLevel("system");
    systemTree.eraseTopLevel("devices");
    systemRequested = false;
    devicesRequested = false;
}

void NetManager::dropPendingCommands()
{
    if (confClient)
        confClient->clearReplyCommands();
}
