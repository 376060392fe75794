#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"

#include <string>
#include <vector>

// The reading of the system's configuration from the configuration daemon: every subsystem,
// then every partition with the mnemonics of its level's inputs and outputs, copied into the
// "system.subsystems" and "system.levels" parts of the system tree. One request is in flight at
// a time; the end of the chain, or the status that stops it, goes to `replyCommand`.

using Tree = ConfClientProtocol::Tree;

namespace {

// A mnemonic is "id;name;alias;description;icon".
constexpr const char* mnemonicSeparators = ";\n";
constexpr std::size_t mnemonicFieldCount = 5;

// Where a partition sits: subsystem, router number and partition id.
struct PartitionPlace {
    std::string subsystem;
    std::string router;
    std::string partition;

    std::string routerPrefix() const { return systempath::router(subsystem, router) + "."; }
    std::string partitionPrefix() const { return systempath::partition(subsystem, router, partition) + "."; }
};

// A request body of one line.
Tree singleLine(const std::string& key, const std::string& value)
{
    Tree body;
    body.push_back(Tree::value_type(key, Tree(value)));
    return body;
}

Tree mnemonicsRequest(const std::string& level, const std::string& direction)
{
    Tree body = singleLine("levelno", level);
    body.push_back(Tree::value_type("direction", Tree(direction)));
    return body;
}

// router1, router2, ... up to the first missing or empty one.
void writeRouterAddresses(SystemTree& tree, const std::string& prefix, const Tree& reply)
{
    for (int number = 1;; ++number) {
        const std::string key = "router" + std::to_string(number);
        const std::string address = reply.get<std::string>(key, "");
        if (address.empty())
            return;
        tree.put(prefix + key, address);
    }
}

void writeSubsystem(SystemTree& tree, const std::string& prefix, const Tree& reply)
{
    const std::string interfaceType = reply.get<std::string>("interface_type", "none");
    tree.put(prefix + "interface_type", interfaceType);
    tree.put(prefix + "protocol_name", reply.get<std::string>("protocol_name", ""));
    tree.put(prefix + "protocol_type", reply.get<std::string>("protocol_type", "none"));
    tree.put(prefix + "user", reply.get<int>("user", 3));
    // Only a subsystem reached over the network has router addresses.
    if (interfaceType == "tcpip")
        writeRouterAddresses(tree, prefix, reply);
}

void writePartition(SystemTree& tree, const PartitionPlace& place, const Tree& reply, bool active)
{
    const std::string router = place.routerPrefix();
    tree.put(router + "routerformat", reply.get<std::string>("routerformat", ""));
    tree.put(router + "routersize", reply.get<std::string>("routersize", "0x0"));
    tree.put(router + "routertype", reply.get<std::string>("routertype", ""));

    const std::string partition = place.partitionPrefix();
    tree.put(partition + "levelno", reply.get<std::string>("levelno", "0"));
    tree.put(partition + "levelname", reply.get<std::string>("levelname", ""));
    tree.put(partition + "levelalias", reply.get<std::string>("levelalias", ""));
    tree.put(partition + "leveldescription", reply.get<std::string>("leveldescription", ""));
    tree.put(partition + "levelactive", active);
    tree.put(partition + "physical_in", reply.get<std::string>("physical_in", ""));
    tree.put(partition + "physical_out", reply.get<std::string>("physical_out", ""));
}

void writeLevel(SystemTree& tree, const PartitionPlace& place, const Tree& reply)
{
    const std::string level = systempath::level(reply.get<std::string>("levelno", "0")) + ".";
    tree.put(level + "name", reply.get<std::string>("levelname", ""));
    tree.put(level + "alias", reply.get<std::string>("levelalias", ""));
    tree.put(level + "description", reply.get<std::string>("leveldescription", ""));
    tree.put(level + "subsystem", place.subsystem);
    tree.put(level + "router", place.router);
    tree.put(level + "partition", place.partition);
}

bool isMnemonicKey(const std::string& key) { return key.compare(0, 4, "text") == 0; }

// Every "text", text0, text1, ... of the reply, in message order, filed under its port id.
void writeMnemonics(SystemTree& tree, const std::string& prefix, const Tree& reply)
{
    for (const Tree::value_type& line : reply) {
        if (!isMnemonicKey(line.first))
            continue;
        std::vector<std::string> fields = splitFields(line.second.get_value<std::string>(""), mnemonicSeparators);
        fields.resize(mnemonicFieldCount);
        const std::string port = prefix + fields[0] + ".";
        tree.put(port + "name", fields[1]);
        tree.put(port + "alias", fields[2]);
        tree.put(port + "description", fields[3]);
        tree.put(port + "icon", fields[4]);
    }
}

}  // namespace

void ConfClientProtocol::collectNumberedValues(const Tree& message, const std::string& key,
                                               std::deque<std::string>& queue)
{
    const std::string single = message.get<std::string>(key, "");
    if (!single.empty()) {
        queue.push_back(single);
        return;
    }
    for (int number = 0;; ++number) {
        const std::string value = message.get<std::string>(key + std::to_string(number), "");
        if (value.empty())
            return;
        queue.push_back(value);
    }
}

void ConfClientProtocol::requestNextSubsystem()
{
    if (subsystemQueue.empty()) {
        sendMessage("partition list get");
        return;
    }
    const std::string subsystem = subsystemQueue.front();
    subsystemQueue.pop_front();
    sendMessage("subsystem get", singleLine("subsystem", subsystem));
}

void ConfClientProtocol::requestNextPartition()
{
    if (partitionQueue.empty()) {
        executeIfSet(replyCommand, "");
        return;
    }
    const std::string partition = partitionQueue.front();
    partitionQueue.pop_front();
    sendMessage("partition get", singleLine("partition", partition));
}

// A new list replaces what a chain that stopped early left queued, so a retry reads every
// name once and is not stopped again by names that no longer exist.
void ConfClientProtocol::onSubsystemListGet(const Tree& message, bool viaDirectLink)
{
    if (viaDirectLink)
        return;
    subsystemQueue.clear();
    collectNumberedValues(message, "subsystem", subsystemQueue);
    requestNextSubsystem();
}

void ConfClientProtocol::onSubsystemGet(const Tree& message, bool viaDirectLink)
{
    const std::string subsystem = message.get<std::string>("subsystem", "");
    if (viaDirectLink || subsystem.empty())
        return;
    writeSubsystem(netManager->tree(), systempath::subsystem(subsystem) + ".", message);
    requestNextSubsystem();
}

void ConfClientProtocol::onPartitionListGet(const Tree& message, bool viaDirectLink)
{
    if (viaDirectLink)
        return;
    const std::string status = message.get<std::string>("status", "");
    partitionQueue.clear();
    collectNumberedValues(message, "partition", partitionQueue);
    if (!status.empty()) {
        executeIfSet(replyCommand, status);
        return;
    }
    requestNextPartition();
}

void ConfClientProtocol::onPartitionGet(const Tree& message, bool viaDirectLink)
{
    const std::string partition = message.get<std::string>("partition", "");
    const std::string status = message.get<std::string>("status", "");
    if (viaDirectLink)
        return;
    if (!status.empty()) {
        executeIfSet(replyCommand, status);
        return;
    }
    if (partition.empty())
        return;

    currentSubsystem = message.get<std::string>("subsystem", "-1");
    currentRouter = message.get<std::string>("routerno", "-1");
    const PartitionPlace place{currentSubsystem, currentRouter, message.get<std::string>("pid", "-1")};
    const bool active = message.get<bool>("levelactive", false);
    SystemTree& tree = netManager->tree();
    writePartition(tree, place, message, active);
    if (active)
        writeLevel(tree, place, message);
    sendMessage("mnemonics get", mnemonicsRequest(message.get<std::string>("levelno", "0"), "input"));
}

void ConfClientProtocol::onMnemonicsGet(const Tree& message, bool viaDirectLink)
{
    if (viaDirectLink)
        return;
    const std::string level = message.get<std::string>("levelno", "0");
    const std::string direction = message.get<std::string>("direction", "output");
    writeMnemonics(netManager->tree(),
                   systempath::router(currentSubsystem, currentRouter) + "." + direction + "s.",
                   message);
    if (direction == "input")
        sendMessage("mnemonics get", mnemonicsRequest(level, "output"));
    else
        requestNextPartition();
}
