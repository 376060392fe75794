#pragma once

#include <string>

// The words of the system tree and of the network around it: where each part of the tree
// lives, the device kind words and the router port. Header only. The fixed TCP ports are in
// wire/Ports.h.

namespace systempath {

// Top-level branches: this box, the other devices by MAC text, the system.
constexpr char ownBox[] = "corvanet";
constexpr char devices[] = "devices";
constexpr char system[] = "system";

constexpr char ownType[] = "corvanet.type";
constexpr char ownIpSettings[] = "corvanet.ip_settings";
constexpr char ownMac[] = "corvanet.ip_settings.mac_address";
constexpr char ownIpAddress[] = "corvanet.ip_settings.ip_address";

constexpr char systemName[] = "system.name";
constexpr char systemDescription[] = "system.description";
constexpr char spreadFile[] = "system.spread.file";
constexpr char spreadHostCount[] = "system.spread.no_of_hosts";
constexpr char spreadHosts[] = "system.spread.hosts";
constexpr char subsystems[] = "system.subsystems";
constexpr char levels[] = "system.levels";

// The path of a child below a node.
inline std::string child(const std::string& node, const std::string& key) { return node + "." + key; }

inline std::string own(const std::string& key) { return child(ownBox, key); }
// A MAC text holds no ".", so it is one key.
inline std::string device(const std::string& mac) { return child(devices, mac); }
inline std::string subsystem(const std::string& subsystem) { return child(subsystems, subsystem); }
inline std::string router(const std::string& subsystem, const std::string& router)
{
    return child(systempath::subsystem(subsystem), "routers." + router);
}
inline std::string partition(const std::string& subsystem, const std::string& router, const std::string& partition)
{
    return child(systempath::router(subsystem, router), "partitions." + partition);
}
inline std::string level(const std::string& level) { return child(levels, level); }

}  // namespace systempath

// The formats of generated values.
namespace systemvalue {

// "0-<count - 1>": the physical ports of a partition.
inline std::string portRange(int count) { return "0-" + std::to_string(count - 1); }
inline std::string routerSize(int inputs, int outputs)
{
    return std::to_string(inputs) + "x" + std::to_string(outputs);
}
// Port `index` (from 0) named by its number from 1 in three digits or more: IN001, OUT012.
inline std::string portName(const std::string& prefix, int index)
{
    std::string digits = std::to_string(index + 1);
    if (digits.size() < 3)
        digits.insert(0, 3 - digits.size(), '0');
    return prefix + digits;
}
inline std::string levelName(const std::string& level) { return "Level " + level; }

}  // namespace systemvalue

// The kind word a device reports ("<kind>@<MAC>" is its address on the configuration-daemon
// link) and stores as its "type".
namespace devicekind {

constexpr char tessora[] = "tessora";              // a router or panel of the Tessora family
constexpr char controllerBox[] = "corvanet";       // a controller box like this one
constexpr char controllerCard[] = "gx2400-ln-ctl"; // a controller card: a system of its own, no Spread hosts
constexpr char unsupported[] = "unsupported";      // a Tessora that reports an external device
constexpr char configurator[] = "kip";             // this daemon

// The address of the configuration daemon itself; "device get" sent there reaches every device.
constexpr char confDaemonAddress[] = "*";

inline std::string address(const std::string& kind, const std::string& mac) { return kind + "@" + mac; }

}  // namespace devicekind

// A router is reached at its IPv4 address on this port.
constexpr char routerPort[] = ":4381";
inline std::string routerAddress(const std::string& ipAddress) { return ipAddress + routerPort; }
