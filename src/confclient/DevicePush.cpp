#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"


// Configuration that leaves this box for single devices and partitions: a Tessora router or
// panel learns its system membership ("device set"), a router partition is set or withdrawn
// ("partition set", "partition reset") and followed by the port names of its router.

using Tree = ConfClientProtocol::Tree;

namespace {

// A router's four router fields: a router works with no other router.
void appendRouterFields(Tree& body)
{
    for (const char* key : {"routerA1", "routerB1", "routerC1", "routerD1"})
        appendLine(body, key, "");
}

// A panel's twelve router fields: the first points at this box while the panel is in a system.
void appendPanelFields(Tree& body, const std::string& firstRouter)
{
    appendLine(body, "routerA1", firstRouter);
    for (const char* key : {"routerA2", "routerA3", "routerB1", "routerB2", "routerB3", "routerC1", "routerC2",
                            "routerC3", "routerD1", "routerD2", "routerD3"})
        appendLine(body, key, "");
}

// levelno, direction, then one "text=<port>;<name>;<alias>;<description>;<icon>" line per port.
std::string mnemonicsText(const std::string& levelNo, const std::string& direction, const Tree& ports)
{
    std::string text = "levelno=" + levelNo + "\ndirection=" + direction + "\n";
    for (const Tree::value_type& port : ports)
        text += "text=" + port.first + ";" + port.second.get<std::string>("name", "") + ";" +
                port.second.get<std::string>("alias", "") + ";" + port.second.get<std::string>("description", "") +
                ";" + port.second.get<std::string>("icon", "") + "\n";
    return text;
}

}  // namespace

void ConfClientProtocol::sendRouterSettings(const std::string& mac, bool includeNetworkSettings)
{
    deviceListCommand.reset();
    const SystemTree& tree = netManager->tree();
    const std::string device = systempath::device(mac) + ".";
    const std::string systemName = tree.getOr(device + "system_name", "");

    Tree body;
    appendLine(body, "system_name", systemName);
    appendLine(body, "system_description", tree.getOr(device + "system_description", ""));
    if (tree.contains(device + "router")) {
        appendRouterFields(body);
    } else if (tree.contains(device + "panel")) {
        const std::string thisBox = routerAddress(tree.getOr(systempath::ownIpAddress, ""));
        appendPanelFields(body, systemName.empty() ? std::string() : thisBox);
    }
    if (includeNetworkSettings)
        for (const Tree::value_type& line : ipSettingsBody(systempath::device(mac), true))
            body.push_back(line);
    sendTo("device set", devicekind::address(devicekind::tessora, mac), body);
}

// A send that finds the main link down forgets the system, so each step looks the tree up after
// the send before it: the port names only once "partition set" has gone, the outputs only once
// the inputs have gone (none when the system was forgotten meanwhile).
void ConfClientProtocol::sendPartition(const std::string& subsystem, const std::string& router,
                                       const std::string& partition)
{
    deviceListCommand.reset();
    Tree body;
    appendLine(body, "subsystem", subsystem);
    appendLine(body, "routerno", router);
    appendLine(body, "pid", partition);

    const std::string partitionPath = systempath::partition(subsystem, router, partition);
    const Tree* fields = netManager->tree().findChild(partitionPath);
    if (!fields) {
        sendMessage("partition reset", body);
        return;
    }
    for (const Tree::value_type& field : *fields)
        body.push_back(field);
    sendMessage("partition set", body);

    const SystemTree& tree = netManager->tree();
    const std::string routerPath = systempath::router(subsystem, router) + ".";
    const Tree* inputs = tree.findChild(routerPath + "inputs");
    if (!inputs || !tree.findChild(routerPath + "outputs"))
        return;
    const std::string levelNo = tree.getOr(partitionPath + ".levelno", "0");
    sendMessage("mnemonics set", mnemonicsText(levelNo, "input", *inputs));
    const Tree* outputs = tree.findChild(routerPath + "outputs");
    sendMessage("mnemonics set", mnemonicsText(levelNo, "output", outputs ? *outputs : Tree()));
}
