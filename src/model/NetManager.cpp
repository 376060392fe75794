#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"
#include "model/SpreadFile.h"
#include "transport/TcpClientInterface.h"

NetManager::NetManager() = default;

NetManager::~NetManager() = default;

void NetManager::connect(boost::asio::io_context& ioContext, const std::string& address, int port, int directPort)
{
    auto mainLink = std::make_shared<TcpClientInterface>(ioContext, nullptr);
    mainLink->setServer(address, port);
    confClient = std::make_shared<ConfClientProtocol>(ioContext, mainLink, this, directPort);
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

std::string NetManager::makeSpreadFile() const { return ::makeSpreadFile(systemTree); }

void NetManager::parseSpreadFile(const std::string& text) { ::parseSpreadFile(systemTree, text); }
