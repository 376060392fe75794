#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"

// Tells another device, addressed by its own kind and MAC, to take over the IP settings the
// network manager has just stored for it. No reply is expected.

void ConfClientProtocol::sendDeviceIpSettings(const std::string& deviceKey)
{
    deviceListCommand.reset();
    const SystemTree& tree = netManager->tree();
    const std::string device = systempath::device(deviceKey) + ".";

    Tree body;
    appendLine(body, "bootprotocol", "static");
    appendLine(body, "ip", tree.getOr(device + "ip_settings.ip_address", ""));
    appendLine(body, "netmask", tree.getOr(device + "ip_settings.subnet_mask", ""));
    appendLine(body, "gateway", tree.getOr(device + "ip_settings.default_gateway", ""));
    appendLine(body, "hostname", tree.getOr(device + "ip_settings.hostname", ""));

    sendTo("device set", devicekind::address(tree.getOr(device + "type", ""), deviceKey), body);
}
