#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"
#include "model/SpreadFile.h"
#include "transport/TcpClientInterface.h"

namespace {
// A controller card is a system of its own, without Spread hosts.
const char* const cardType = "gx2400-ln-ctl";
const char* const modularProtocol = "modular";

void run(const std::shared_ptr<Command>& command, const std::string& text)
{
    if (command)
        command->execute(text);
}
}  // namespace

NetManager::NetManager() = default;

NetManager::~NetManager() = default;

void NetManager::connect(boost::asio::io_context& ioContext, const std::string& address, int port, int directPort,
                         std::shared_ptr<FlowGate> gate)
{
    auto mainLink = std::make_shared<TcpClientInterface>(ioContext, nullptr);
    mainLink->setFlowGate(gate);
    mainLink->setServer(address, port);
    confClient = std::make_shared<ConfClientProtocol>(ioContext, mainLink, this, directPort);
    confClient->directInterface()->setFlowGate(std::move(gate));
}

bool NetManager::hasSystem() const
{
    if (systemTree.getOr("corvanet.type", "") == cardType)
        return true;
    boost::optional<int> hosts = systemTree.getOptionalInt("system.spread.no_of_hosts");
    return hosts && *hosts > 0;
}

// A box in a system of several boxes, beside a neighbour or in a modular frame keeps its address.
bool NetManager::mayChangeIpSettings() const
{
    boost::optional<int> hosts = systemTree.getOptionalInt("system.spread.no_of_hosts");
    const bool alone = !hosts || *hosts <= 1;
    const bool framed = systemTree.getOr("corvanet.internal_protocol", "none") == modularProtocol;
    const bool hasNeighbour = !systemTree.getOr("corvanet.neighbor_mac", "").empty();
    return alone && !framed && !hasNeighbour;
}

bool NetManager::mayUseBuilder() const { return hasSystem() && mayChangeIpSettings(); }

void NetManager::requestSystem(std::shared_ptr<Command> command)
{
    if (systemRequested) {
        run(command, "");
        return;
    }
    systemRequested = true;
    systemTree.put("system.name", "");
    systemTree.put("system.description", "");
    confClient->requestSystemDevices(std::move(command));
}

void NetManager::invalidateSystem() { systemRequested = false; }

void NetManager::requestSubsystems(std::shared_ptr<Command> command)
{
    if (devicesRequested)
        run(command, "");
    else
        confClient->requestSubsystemList(std::move(command));
}

void NetManager::reportDevices(std::shared_ptr<Command> command)
{
    if (!devicesRequested) {
        devicesRequested = true;
        confClient->requestDeviceList(std::move(command));
        return;
    }
    const SystemTree::Tree* devices = systemTree.findChild("devices");
    if (!devices)
        return;
    boost::optional<std::string> own = systemTree.getOptional("corvanet.ip_settings.mac_address");
    // The command may change the tree: the keys are taken first.
    std::vector<std::string> macs;
    for (const SystemTree::Tree::value_type& device : *devices)
        if (!own || device.first != *own)
            macs.push_back(device.first);
    for (const std::string& mac : macs)
        run(command, mac);
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
