// Changing the IP settings of this box or of another device, with the conflict check.
#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"
#include "core/CommandSingleton.h"

#include <thread>
#include <utility>

namespace {
const char* const systemNameConflict = "system_name_conflict";
const char* const hostnameConflict = "hostname_conflict";
const char* const ipAddressConflict = "ip_address_conflict";
const char* const invalidMac = "Invalid MAC";
const char* const newSystemDescription = "Corvanet Configurator System";
}  // namespace

void NetManager::setOwnChangeDelays(std::chrono::milliseconds beforeQueueing, std::chrono::milliseconds queued)
{
    ownChangeWait = beforeQueueing;
    ownChangeQueuedWait = queued;
}

bool NetManager::isOwnMac(const std::string& mac) const
{
    return mac == systemTree.getOr(systempath::ownMac, "");
}

void NetManager::setIpSettings(const std::string& ipAddress, const std::string& subnetMask,
                               const std::string& defaultGateway, const std::string& hostname, const std::string& mac,
                               std::shared_ptr<Command> requester)
{
    pendingIpAddress = ipAddress;
    pendingSubnetMask = subnetMask;
    pendingDefaultGateway = defaultGateway;
    pendingHostname = hostname;
    pendingMac = mac;
    ipRequester = std::move(requester);
    if (!isOwnMac(mac)) {
        applyDeviceIpSettings();
        return;
    }
    // Every device answers "device get" again. The worker sleeps on purpose: replies arriving
    // meanwhile are queued behind this command, the settling command behind them, and the
    // check behind the replies of 2 s more; every other client waits the 5 s too.
    confClient->requestDeviceList(nullptr);
    std::this_thread::sleep_for(ownChangeWait);
    CommandSingleton::instance().enqueue(makeCommand(this, &NetManager::settleOwnIpChange), "");
}

void NetManager::settleOwnIpChange(const std::string&)
{
    std::this_thread::sleep_for(ownChangeQueuedWait);
    CommandSingleton::instance().enqueue(makeCommand(this, &NetManager::applyOwnIpSettings), "");
}

// The conflict of the last device in tree order that conflicts, or the empty text.
std::string NetManager::findConflict(bool ownChange) const
{
    std::string conflict;
    if (const SystemTree::Tree* devices = systemTree.findChild(systempath::devices)) {
        for (const SystemTree::Tree::value_type& device : *devices) {
            std::string found = conflictWith(systempath::device(device.first) + ".", ownChange);
            if (!found.empty())
                conflict = found;
        }
    }
    return conflict;
}

std::string NetManager::conflictWith(const std::string& path, bool ownChange) const
{
    if (systemTree.getOr(path + "ip_settings.mac_address", "") == pendingMac)
        return "";  // the target itself
    if (ownChange && isOwnMac(pendingMac) && systemTree.getOr(path + "type", "") == devicekind::controllerBox &&
        !pendingHostname.empty() && systemTree.getOr(path + "system_name", "") == pendingHostname)
        return systemNameConflict;
    // A controller card's host name is no system name, so it may repeat.
    const bool hostnamesCount = systemTree.getOr(systempath::ownType, "") != devicekind::controllerCard;
    if (hostnamesCount && !pendingHostname.empty() &&
        systemTree.getOr(path + "ip_settings.hostname", "") == pendingHostname)
        return hostnameConflict;
    if (!pendingIpAddress.empty() && systemTree.getOr(path + "ip_settings.ip_address", "") == pendingIpAddress)
        return ipAddressConflict;
    return "";
}

void NetManager::applyOwnIpSettings(const std::string&)
{
    const std::string oldName = systemTree.getOr(systempath::systemName, "");
    const std::string conflict = findConflict(true);
    if (!conflict.empty()) {
        executeIfSet(ipRequester, conflict);
    } else if (isOwnMac(pendingMac)) {
        ipSettingsChanged = storeOwnIpSettings();
        createOwnSystem(oldName);
        systemRequested = false;
    }
    ipRequester.reset();
}

// Puts the pending settings as this box's when any of them differs; tells whether one did.
bool NetManager::storeOwnIpSettings()
{
    const std::pair<std::string, const std::string*> settings[] = {
        {systempath::own("ip_settings.ip_address"), &pendingIpAddress},
        {systempath::own("ip_settings.subnet_mask"), &pendingSubnetMask},
        {systempath::own("ip_settings.default_gateway"), &pendingDefaultGateway},
        {systempath::own("ip_settings.hostname"), &pendingHostname},
    };
    bool changed = false;
    for (const auto& setting : settings)
        changed = changed || systemTree.getOr(setting.first, "") != *setting.second;
    if (changed)
        for (const auto& setting : settings)
            systemTree.put(setting.first, *setting.second);
    return changed;
}

// This box forms a system of its own, named after its host name, and the Spread chain
// distributes it; the requester is answered at the end of that chain.
void NetManager::createOwnSystem(const std::string& oldName)
{
    const std::string newName = pendingHostname;
    systemTree.put(systempath::systemName, newName);
    systemTree.put(systempath::systemDescription, newSystemDescription);
    systemTree.put(systempath::spreadFile, makeSpreadFile());
    systemTree.put(systempath::spreadHostCount, 1);
    moveRoutersToOwnSystem(oldName, newName, newSystemDescription);
    confClient->sendSpreadSettings(ipRequester);
}

// The Tessora devices of the old system follow the new name, and the new network when it changed.
void NetManager::moveRoutersToOwnSystem(const std::string& oldName, const std::string& newName,
                                        const std::string& newDescription)
{
    const SystemTree::Tree* devices = systemTree.findChild(systempath::devices);
    if (!devices)
        return;
    std::vector<std::string> macs;
    for (const SystemTree::Tree::value_type& device : *devices)
        macs.push_back(device.first);
    for (const std::string& mac : macs) {
        const std::string path = systempath::device(mac) + ".";
        const std::string deviceSystem = systemTree.getOr(path + "system_name", "");
        const bool isRouter = systemTree.getOr(path + "type", "") == devicekind::tessora;
        if (deviceSystem.empty() || deviceSystem != oldName || !isRouter)
            continue;
        systemTree.put(path + "system_name", newName);
        systemTree.put(path + "system_description", newDescription);
        if (ipSettingsChanged && !pendingSubnetMask.empty())
            systemTree.put(path + "ip_settings.subnet_mask", pendingSubnetMask);
        if (ipSettingsChanged && !pendingDefaultGateway.empty())
            systemTree.put(path + "ip_settings.default_gateway", pendingDefaultGateway);
        confClient->sendRouterSettings(mac, ipSettingsChanged);
    }
}

void NetManager::applyDeviceIpSettings()
{
    const std::string name = systemTree.getOr(systempath::systemName, "");
    const std::string conflict = findConflict(false);
    if (!conflict.empty()) {
        executeIfSet(ipRequester, conflict);
    } else if (!systemTree.contains(systempath::device(pendingMac))) {
        executeIfSet(ipRequester, invalidMac);
    } else {
        const std::string path = systempath::device(pendingMac) + ".";
        const std::string deviceSystem = systemTree.getOr(path + "system_name", "");
        const bool belongs = !name.empty() && deviceSystem == name;
        // A device of another system is left alone.
        if (belongs || deviceSystem.empty()) {
            storeDeviceIpSettings(path);
            if (belongs && systemTree.getOr(path + "type", "") == devicekind::tessora)
                updateRouterAfterIpChange(path);
        }
        confClient->requestSystemUpdate(ipRequester);
    }
    ipRequester.reset();
}

void NetManager::storeDeviceIpSettings(const std::string& path)
{
    const std::pair<const char*, const std::string*> settings[] = {
        {"ip_settings.ip_address", &pendingIpAddress},
        {"ip_settings.subnet_mask", &pendingSubnetMask},
        {"ip_settings.default_gateway", &pendingDefaultGateway},
        {"ip_settings.hostname", &pendingHostname},
    };
    for (const auto& setting : settings)
        if (!setting.second->empty())
            systemTree.put(path + setting.first, *setting.second);
    confClient->sendDeviceIpSettings(pendingMac);
}

// A router of the system keeps its subsystem address and its level name in step with its
// new address and host name.
void NetManager::updateRouterAfterIpChange(const std::string& path)
{
    const std::string router = std::to_string(routerNumber(path, false));
    const std::string subsystem = systemTree.getOr(path + "subsystem", "0");
    const std::string base = systempath::subsystem(subsystem) + ".";
    if (!systemTree.contains(systempath::subsystem(subsystem)))
        return;
    if (!pendingIpAddress.empty())
        systemTree.put(base + "router1", routerAddress(pendingIpAddress));
    if (!pendingHostname.empty())
        systemTree.put(base + "description", pendingHostname);
    confClient->sendSubsystem(subsystem);

    const std::string partition = systempath::partition(subsystem, router, "0") + ".";
    const std::string level = systemTree.getOr(partition + "levelno", "0");
    if (!systemTree.contains(systempath::level(level)))
        return;
    if (!pendingHostname.empty()) {
        systemTree.put(systempath::child(systempath::level(level), "name"), pendingHostname);
        systemTree.put(partition + "levelname", pendingHostname);
    }
    confClient->sendPartition(subsystem, router, "0");
}
