// The unsolicited report about one device: this box, a Tessora router or panel of the system,
// or any other device (reported with its IP settings only).
#include "host/JbpHostProtocol.h"

#include "model/NetManager.h"
#include "wire/HostReplyTexts.h"

#include <boost/optional.hpp>

namespace {
using Tree = JbpHostProtocol::Tree;

const char* const unknownBuildTime = "1970-01-01T00:00:00+0000";

void putIntIfPresent(Tree& report, const std::string& key, const SystemTree& tree, const std::string& path)
{
    if (boost::optional<int> value = tree.getOptionalInt(path))
        report.put(key, *value);
}

// This box: the system it holds, its firmware and hardware.
void putBoxInfo(Tree& report, const SystemTree& tree, const std::string& path)
{
    report.put("system.name", tree.getOr(systempath::systemName, ""));
    report.put("system.description", tree.getOr(systempath::systemDescription, ""));
    report.put("hardware.revision", tree.getOr(path + "revision", ""));
    report.put("firmware.version", tree.getOr(path + "version", ""));
    report.put("firmware.build", tree.getOr(path + "build_time", unknownBuildTime));
    report.put("firmware.revision", tree.getOr(path + "hash", ""));
    report.put("corvanet.box", tree.getOr(path + "box", ""));
    putIntIfPresent(report, "corvanet.address", tree, path + "address");
}

// The level formed by partition 0 of an active router of the device's subsystem.
void putRouterLevel(Tree& report, const SystemTree& tree, const std::string& subsystem)
{
    const Tree* routers = tree.findChild(systempath::subsystem(subsystem) + ".routers");
    if (subsystem.empty() || !routers)
        return;
    for (const Tree::value_type& router : *routers) {
        const std::string partitionPath = systempath::partition(subsystem, router.first, "0");
        const std::string partition = partitionPath + ".";
        if (!tree.contains(partitionPath) || !tree.getOptionalBool(partition + "levelactive").value_or(false))
            continue;
        const std::string level = tree.getOr(partition + "levelno", "");
        report.put("system.level.no", level);
        report.put("system.level.name", tree.getOr(partition + "levelname", systemvalue::levelName("0")));
        report.put("system.level.description", tree.getOr(partition + "leveldescription", ""));
        putIntIfPresent(report, "system.router.no", tree, systempath::child(systempath::level(level), "router"));
    }
}

// A Tessora router or panel: firmware, size, panel and its level in the system.
void putTessoraInfo(Tree& report, const SystemTree& tree, const std::string& path, const std::string& deviceSystem)
{
    report.put("hardware.revision", tree.getOr(path + "revision", ""));
    report.put("firmware.version", tree.getOr(path + "version", ""));
    report.put("firmware.build", tree.getOr(path + "build", ""));
    report.put("tessora.dip", tree.getOr(path + "address", "0"));
    putIntIfPresent(report, "tessora.rack_unit_size", tree, path + "rack_unit_size");
    putIntIfPresent(report, "tessora.panel.buttons", tree, path + "panel.buttons");
    putIntIfPresent(report, "tessora.router.inputs", tree, path + "router.inputs");
    putIntIfPresent(report, "tessora.router.outputs", tree, path + "router.outputs");
    if (boost::optional<std::string> format = tree.getOptional(path + "router.format"))
        report.put("tessora.router.format", *format);
    putRouterLevel(report, tree, tree.getOr(path + "subsystem", ""));
    if (!deviceSystem.empty())
        report.put("system.name", deviceSystem);
}
}  // namespace

void JbpHostProtocol::reportDevice(const std::string& mac)
{
    const SystemTree& tree = netManager->tree();
    const bool isSelf = mac == tree.getOr(systempath::ownMac, "");
    const std::string path = (isSelf ? std::string(systempath::ownBox) : systempath::device(mac)) + ".";
    const std::string kind = tree.getOr(path + "type", "");
    const std::string deviceSystem = tree.getOr(path + "system_name", "");

    Tree report;
    if (const Tree* ipSettings = tree.findChild(path + "ip_settings"))
        report.put_child("ip_settings", *ipSettings);
    if (!deviceSystem.empty() && deviceSystem != tree.getOr(systempath::systemName, "")) {
        // A device of another system: only its address is of interest here.
        sendReply(hostreply::newIpDeviceInfo, report);
    } else if (isSelf && kind == devicekind::controllerBox) {
        putBoxInfo(report, tree, path);
        sendReply(hostreply::newCorvanetInfo, report);
    } else if (kind == devicekind::tessora) {
        putTessoraInfo(report, tree, path, deviceSystem);
        sendReply(hostreply::newTessoraInfo, report);
    } else {
        sendReply(hostreply::newIpDeviceInfo, report);
    }
}
