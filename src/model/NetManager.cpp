#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"
#include "model/SpreadFile.h"
#include "transport/TcpClientInterface.h"

namespace {
const char* const modularProtocol = "modular";
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
    if (systemTree.getOr(systempath::ownType, "") == devicekind::controllerCard)
        return true;
    boost::optional<int> hosts = systemTree.getOptionalInt(systempath::spreadHostCount);
    return hosts && *hosts > 0;
}

// A box in a system of several boxes, beside a neighbour or in a modular frame keeps its address.
bool NetManager::mayChangeIpSettings() const
{
    boost::optional<int> hosts = systemTree.getOptionalInt(systempath::spreadHostCount);
    const bool alone = !hosts || *hosts <= 1;
    const bool framed = systemTree.getOr(systempath::own("internal_protocol"), "none") == modularProtocol;
    const bool hasNeighbour = !systemTree.getOr(systempath::own("neighbor_mac"), "").empty();
    return alone && !framed && !hasNeighbour;
}

bool NetManager::mayUseBuilder() const { return hasSystem() && mayChangeIpSettings(); }

void NetManager::requestSystem(std::shared_ptr<Command> command)
{
    if (systemRequested) {
        executeIfSet(command, "");
        return;
    }
    systemRequested = true;
    systemTree.put(systempath::systemName, "");
    systemTree.put(systempath::systemDescription, "");
    confClient->requestSystemDevices(std::move(command));
}

void NetManager::invalidateSystem() { systemRequested = false; }

void NetManager::requestSubsystems(std::shared_ptr<Command> command)
{
    if (devicesRequested)
        executeIfSet(command, "");
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
    const SystemTree::Tree* devices = systemTree.findChild(systempath::devices);
    if (!devices)
        return;
    boost::optional<std::string> own = systemTree.getOptional(systempath::ownMac);
    // The command may change the tree: the keys are taken first.
    std::vector<std::string> macs;
    for (const SystemTree::Tree::value_type& device : *devices)
        if (!own || device.first != *own)
            macs.push_back(device.first);
    for (const std::string& mac : macs)
        executeIfSet(command, mac);
}

SystemSummary NetManager::summary() const
{
    SystemSummary summary;
    summary.name = systemTree.getOptional(systempath::systemName);
    if (boost::optional<std::string> ownKind = systemTree.getOptional(systempath::ownType))
        ++summary.devicesByKind[*ownKind];
    if (const SystemTree::Tree* devices = systemTree.findChild(systempath::devices))
        for (const SystemTree::Tree::value_type& device : *devices) {
            SystemTree::Tree::const_assoc_iterator type = device.second.find("type");
            ++summary.devicesByKind[type == device.second.not_found() ? "unknown" : type->second.data()];
        }
    if (confClient) {
        summary.lastSearchAt = confClient->lastSearch().startedAt;
        summary.lastSearchReports = confClient->lastSearch().replies;
    }
    return summary;
}

void NetManager::forgetSystem()
{
    systemTree.eraseTopLevel(systempath::system);
    systemTree.eraseTopLevel(systempath::devices);
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
