// Tessora routers joining and leaving the system: their subsystems, levels and ports.
#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"

#include <cstdlib>

namespace {
const char* const levelAlias = "Tessora";
// Audio routers, and data routers at higher addresses, are numbered from 101 on.
constexpr int audioRouterOffset = 100;
constexpr int dataRouterOffset = 84;
constexpr int firstHighDataAddress = 16;
}  // namespace

void NetManager::addRouterToSystem(const std::string& mac, const std::string& levelNo, const std::string& levelName,
                                   const std::string& levelDescription, std::shared_ptr<Command> command)
{
    const std::string path = systempath::device(mac) + ".";
    if (systemTree.getOr(path + "type", "") != devicekind::tessora)
        return;
    joinSystemName(mac, path);
    if (!systemTree.contains(path + "router")) {
        if (systemTree.contains(path + "panel"))
            executeIfSet(command, "");
        return;
    }
    std::string no = levelNo;
    std::string name = levelName;
    std::string description = levelDescription;
    const std::string subsystem = placeRouterInSubsystem(path);
    const bool tookOver = takeOverLevels(subsystem, no, name, description);
    const std::vector<PartitionKey> oldPartitions = partitionsOf(subsystem);
    erasePartitions(oldPartitions);
    withdrawPartitions(oldPartitions);

    const int router = routerNumber(path, true);
    const std::string level = firstFreeLevel(no.empty() ? std::to_string(router) : no);
    writeRouterLevel(path, subsystem, router, level, name, description, tookOver);
    systemTree.put(path + "subsystem", subsystem);
    confClient->requestSystemUpdate(std::move(command));
}

void NetManager::removeRouterFromSystem(const std::string& mac, std::shared_ptr<Command> command)
{
    const std::string path = systempath::device(mac) + ".";
    if (systemTree.getOr(path + "type", "") != devicekind::tessora)
        return;
    systemTree.put(path + "system_name", "");
    systemTree.put(path + "system_description", "");
    confClient->sendRouterSettings(mac, false);

    if (boost::optional<std::string> subsystem = subsystemServing(systemTree.getOr(path + "ip_settings.ip_address", ""))) {
        const std::vector<PartitionKey> partitions = partitionsOf(*subsystem);
        eraseLevelsOf(*subsystem);
        systemTree.findChild(systempath::subsystems)->erase(*subsystem);
        // With the nodes gone these withdraw the partitions and the subsystem.
        withdrawPartitions(partitions);
        confClient->sendSubsystem(*subsystem);
    }
    systemTree.put(path + "subsystem", "");
    confClient->requestSystemUpdate(std::move(command));
}

void NetManager::confirmRouter(const std::string&, std::shared_ptr<Command> command) { executeIfSet(command, ""); }

// The device takes the system's name and description (both must exist) and is told so.
void NetManager::joinSystemName(const std::string& mac, const std::string& path)
{
    const std::string name = systemTree.root().get<std::string>(systempath::systemName);
    const std::string description = systemTree.root().get<std::string>(systempath::systemDescription);
    if (systemTree.getOr(path + "system_name", "") == name)
        return;
    systemTree.put(path + "system_name", name);
    systemTree.put(path + "system_description", description);
    confClient->sendRouterSettings(mac, false);
}

// The subsystem that already drives the router's address, or a new one for it.
std::string NetManager::placeRouterInSubsystem(const std::string& path)
{
    const std::string address = systemTree.getOr(path + "ip_settings.ip_address", "");
    if (boost::optional<std::string> reused = subsystemServing(address))
        return *reused;
    const std::string subsystem = firstFreeSubsystem();
    const std::string base = systempath::subsystem(subsystem) + ".";
    systemTree.put(base + "description", systemTree.getOr(path + "ip_settings.hostname", ""));
    systemTree.put(base + "interface_type", "tcpip");
    systemTree.put(base + "protocol_name", devicekind::tessora);
    systemTree.put(base + "protocol_type", "native");
    systemTree.put(base + "router1", routerAddress(address));
    confClient->sendSubsystem(subsystem);
    return subsystem;
}

// An empty address is no address: it would match every subsystem.
boost::optional<std::string> NetManager::subsystemServing(const std::string& ipAddress) const
{
    if (ipAddress.empty())
        return boost::none;
    return ::subsystemServing(systemTree, ipAddress);
}

std::string NetManager::firstFreeSubsystem() const
{
    int subsystem = 1;
    while (systemTree.contains(systempath::subsystem(std::to_string(subsystem))))
        ++subsystem;
    return std::to_string(subsystem);
}

// Erases the levels of the subsystem; the first of them lends its number, and any of them its
// name and description, to the level fields the client left empty. Tells whether there were any.
bool NetManager::takeOverLevels(const std::string& subsystem, std::string& levelNo, std::string& levelName,
                                std::string& levelDescription)
{
    SystemTree::Tree* levels = systemTree.findChild(systempath::levels);
    if (!levels)
        return false;
    std::vector<std::string> taken;
    for (const SystemTree::Tree::value_type& level : *levels) {
        const std::string path = systempath::level(level.first) + ".";
        if (systemTree.getOr(path + "subsystem", "") != subsystem)
            continue;
        if (levelNo.empty())
            levelNo = level.first;
        if (levelName.empty())
            levelName = systemTree.getOr(path + "name", "");
        if (levelDescription.empty())
            levelDescription = systemTree.getOr(path + "description", "");
        taken.push_back(level.first);
    }
    for (const std::string& level : taken)
        levels->erase(level);
    return !taken.empty();
}

std::vector<NetManager::PartitionKey> NetManager::partitionsOf(const std::string& subsystem) const
{
    std::vector<PartitionKey> partitions;
    const SystemTree::Tree* routers = systemTree.findChild(systempath::subsystem(subsystem) + ".routers");
    if (!routers)
        return partitions;
    for (const SystemTree::Tree::value_type& router : *routers)
        if (boost::optional<const SystemTree::Tree&> children = router.second.get_child_optional("partitions"))
            for (const SystemTree::Tree::value_type& partition : *children)
                partitions.push_back({subsystem, router.first, partition.first});
    return partitions;
}

void NetManager::eraseLevelsOf(const std::string& subsystem)
{
    SystemTree::Tree* levels = systemTree.findChild(systempath::levels);
    if (!levels)
        return;
    std::vector<std::string> erased;
    for (const SystemTree::Tree::value_type& level : *levels)
        if (systemTree.getOr(systempath::level(level.first) + ".subsystem", "") == subsystem)
            erased.push_back(level.first);
    for (const std::string& level : erased)
        levels->erase(level);
}

// Erases each partition and the level it forms.
void NetManager::erasePartitions(const std::vector<PartitionKey>& partitions)
{
    for (const PartitionKey& key : partitions) {
        const std::string partition = systempath::partition(key.subsystem, key.router, key.partition);
        if (boost::optional<std::string> level = systemTree.getOptional(partition + ".levelno"))
            if (SystemTree::Tree* levels = systemTree.findChild(systempath::levels))
                levels->erase(*level);
        const std::string owner = systempath::router(key.subsystem, key.router) + ".partitions";
        if (SystemTree::Tree* owning = systemTree.findChild(owner))
            owning->erase(key.partition);
    }
}

void NetManager::withdrawPartitions(const std::vector<PartitionKey>& partitions)
{
    for (const PartitionKey& key : partitions)
        confClient->sendPartition(key.subsystem, key.router, key.partition);
}

int NetManager::routerNumber(const std::string& path, bool countDataRouters) const
{
    const int address = systemTree.getOr(path + "address", 0);
    const std::string format = systemTree.getOr(path + "router.format", "");
    int number = address + 1;
    if (format == "audio" || format == "aes")
        number += audioRouterOffset;
    else if (countDataRouters && format.find("data") != std::string::npos && address >= firstHighDataAddress)
        number += dataRouterOffset;
    return number;
}

std::string NetManager::firstFreeLevel(const std::string& start) const
{
    int level = std::atoi(start.c_str());
    while (systemTree.contains(systempath::level(std::to_string(level))))
        ++level;
    return std::to_string(level);
}

// The level and partition 0 the router forms and, unless an old level was taken over (whose
// ports stay as they were named), its size and default port names; then pushes the partition.
void NetManager::writeRouterLevel(const std::string& path, const std::string& subsystem, int router,
                                  const std::string& level, std::string levelName, const std::string& levelDescription,
                                  bool keepPorts)
{
    const int inputs = systemTree.getOr(path + "router.inputs", 0);
    const int outputs = systemTree.getOr(path + "router.outputs", 0);
    if (inputs <= 0 || outputs <= 0)
        return;
    if (levelName.empty()) {
        const std::string hostname = systemTree.getOr(path + "ip_settings.hostname", "");
        levelName = hostname.empty() ? systemvalue::levelName(level) : hostname;
    }
    const std::string levelBase = systempath::level(level) + ".";
    systemTree.put(levelBase + "name", levelName);
    systemTree.put(levelBase + "alias", levelAlias);
    systemTree.put(levelBase + "description", levelDescription);
    systemTree.put(levelBase + "subsystem", subsystem);
    systemTree.put(levelBase + "router", router);
    systemTree.put(levelBase + "partition", "0");

    const std::string routerBase = systempath::router(subsystem, std::to_string(router)) + ".";
    const std::string partition = systempath::partition(subsystem, std::to_string(router), "0") + ".";
    systemTree.put(partition + "physical_in", systemvalue::portRange(inputs));
    systemTree.put(partition + "physical_out", systemvalue::portRange(outputs));
    systemTree.put(partition + "levelno", level);
    systemTree.put(partition + "levelname", levelName);
    systemTree.put(partition + "levelalias", "");
    systemTree.put(partition + "leveldescription", levelDescription);
    systemTree.put(partition + "levelactive", true);

    if (!keepPorts) {
        systemTree.put(routerBase + "routersize", systemvalue::routerSize(inputs, outputs));
        for (int input = 0; input < inputs; ++input)
            systemTree.put(routerBase + "inputs." + std::to_string(input) + ".name",
                           systemvalue::portName("IN", input));
        for (int output = 0; output < outputs; ++output)
            systemTree.put(routerBase + "outputs." + std::to_string(output) + ".name",
                           systemvalue::portName("OUT", output));
    }
    confClient->sendPartition(subsystem, std::to_string(router), "0");
}
