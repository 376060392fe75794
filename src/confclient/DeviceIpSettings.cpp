#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"

// Tells another device, addressed by its own kind and MAC, to take over the IP settings the
// network manager has just stored for it. No reply is expected.

void ConfClientProtocol::sendDeviceIpSettings(const std::string& deviceKey)
{
    deviceListCommand.reset();
    const std::string device = systempath::device(deviceKey);
    sendTo("device set", devicekind::address(netManager->tree().getOr(device + ".type", ""), deviceKey),
           ipSettingsBody(device, true));
}

ConfClientProtocol::Tree ConfClientProtocol::ipSettingsBody(const std::string& node, bool staticBoot) const
{
    const SystemTree& tree = netManager->tree();
    const std::string settings = node + ".ip_settings.";
    Tree body;
    if (staticBoot)
        appendLine(body, "bootprotocol", "static");
    appendLine(body, "ip", tree.getOr(settings + "ip_address", ""));
    appendLine(body, "netmask", tree.getOr(settings + "subnet_mask", ""));
    appendLine(body, "gateway", tree.getOr(settings + "default_gateway", ""));
    appendLine(body, "hostname", tree.getOr(settings + "hostname", ""));
    return body;
}
