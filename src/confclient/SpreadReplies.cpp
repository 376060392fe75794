#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"

// The chain that brings a system up: "spread set" distributes the Spread text, its reply
// either changes this box's own address (answer, push, "device set", "reboot") or asks for
// "spread update", whose reply pushes the configuration and asks for "system update", whose
// final status answers the requester. "spread get" replies announce a box's system.

using Tree = ConfClientProtocol::Tree;

namespace {

constexpr const char* spreadUpdateFailure = "Spread update failure";

Tree spreadSettingsBody(const SystemTree& tree)
{
    Tree body;
    appendLine(body, "data", hexEncode(tree.getOr(systempath::spreadFile, "")));
    appendLine(body, "name", tree.getOr(systempath::systemName, ""));
    appendLine(body, "description", tree.getOr(systempath::systemDescription, ""));
    return body;
}

// A Tessora control panel of the system named `name` (panels restart to take the new system).
bool isPanelOfSystem(const Tree& device, const std::string& name)
{
    return device.get<std::string>("system_name", "") == name &&
           device.get<std::string>("type", "") == devicekind::tessora && !device.get_child_optional("router") &&
           device.get_child_optional("panel");
}

}  // namespace

void ConfClientProtocol::sendSpreadSettings(std::shared_ptr<Command> command)
{
    deviceListCommand.reset();
    replyCommand = std::move(command);
    const SystemTree& tree = netManager->tree();
    if (tree.getOr(systempath::ownType, "") != devicekind::controllerCard) {
        sendMessage("spread set", spreadSettingsBody(tree));
        return;
    }
    // A controller card keeps no Spread text: it only takes its new address.
    executeIfSet(replyCommand, "");
    sendMessage("device set", ipSettingsBody(systempath::ownBox, false));
}

void ConfClientProtocol::onSpreadSet(const Tree&, bool viaDirectLink)
{
    if (viaDirectLink)
        return;
    if (!netManager->ipSettingsWereChanged()) {
        sendMessage("spread update");
        return;
    }
    // The client is answered before this box changes its address and restarts.
    executeIfSet(replyCommand, "");
    pushSystemConfiguration();
    sendMessage("device set", ipSettingsBody(systempath::ownBox, false));
    sendMessage("reboot");
}

void ConfClientProtocol::onSpreadUpdate(const Tree& message, bool viaDirectLink)
{
    if (viaDirectLink)
        return;
    if (message.get<std::string>("status", "failed") != "ok") {
        executeIfSet(replyCommand, spreadUpdateFailure);
        return;
    }
    pushSystemConfiguration();
    sendMessage("system update");
}

// Replies come from both links: "working" while the daemon is busy, then one final status.
void ConfClientProtocol::onSystemUpdate(const Tree& message, bool)
{
    std::string status = message.get<std::string>("status", "");
    if (status == "working")
        return;
    rebootPanelsOfSystem();
    if (status == "ok")
        status.clear();
    executeIfSet(replyCommand, status);
}

void ConfClientProtocol::rebootPanelsOfSystem()
{
    const SystemTree& tree = netManager->tree();
    const std::string name = tree.getOr(systempath::systemName, "");
    const Tree* devices = tree.findChild(systempath::devices);
    if (name.empty() || !devices)
        return;
    for (const Tree::value_type& device : *devices)
        if (isPanelOfSystem(device.second, name))
            sendTo("reboot", devicekind::address(devicekind::tessora, device.first));
}

void ConfClientProtocol::onSpreadGet(const Tree& message, bool viaDirectLink)
{
    const std::string from = message.get<std::string>("from", "");
    const std::string::size_type at = from.find('@');
    if (at == std::string::npos || at + 1 == from.size())
        return;
    const std::string identity = from.substr(at + 1);
    const std::string name = message.get<std::string>("name", "");
    const std::string description = message.get<std::string>("description", "");
    SystemTree& tree = netManager->tree();
    const bool isSelf = tree.getOr(systempath::ownMac, "") == identity;

    if (viaDirectLink && !isSelf) {
        // Another box answered directly: only its membership is noted.
        tree.put(systempath::child(systempath::device(identity), "system_name"), name);
        tree.put(systempath::child(systempath::device(identity), "system_description"), description);
        return;
    }
    tree.put(systempath::systemName, name);
    tree.put(systempath::systemDescription, description);
    netManager->parseSpreadFile(hexDecode(message.get<std::string>("data", "")));
    if (viaDirectLink)
        return;
    executeIfSet(deviceListCommand, identity);
    executeIfSet(replyCommand, "");
}
