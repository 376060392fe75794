#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

// The "device get" reply handler: one reply describes one device and becomes one entry of the
// system tree, under "devices.<MAC>." or, for this box itself, under "corvanet.".

using Tree = ConfClientProtocol::Tree;

namespace {

constexpr const char* kindTessora = "tessora";
constexpr const char* kindUnsupported = "unsupported";
constexpr const char* kindControllerBox = "corvanet";
constexpr const char* kindControllerCard = "gx2400-ln-ctl";

constexpr int buttonsPerPanel = 40;

// The tree paths of one device entry.
class DeviceEntry {
public:
    DeviceEntry(SystemTree& tree, std::string prefix) : tree(tree), prefix(std::move(prefix)) {}

    void moveTo(std::string newPrefix) { prefix = std::move(newPrefix); }
    void put(const std::string& key, const std::string& value) { tree.put(prefix + key, value); }
    void put(const std::string& key, int value) { tree.put(prefix + key, value); }

private:
    SystemTree& tree;
    std::string prefix;
};

// The decimal integer at `position`, read like atoi: leading blanks and a sign allowed,
// 0 without digits.
int leadingInteger(const std::string& text, std::string::size_type position)
{
    if (position >= text.size())
        return 0;
    long value = std::strtol(text.c_str() + position, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

int rackUnitsFor(int inputs, float unitsPerInput)
{
    return static_cast<int>(std::ceil(static_cast<float>(inputs) * unitsPerInput));
}

struct RouterDescription {
    int inputs = 0;
    int outputs = 0;
    std::string format;
    int rackUnits = 0;
};

// Reads the router token "r_<inputs>[x<outputs>][_<format>]" of a Tessora "system" text.
boost::optional<RouterDescription> describeRouter(const std::string& system)
{
    const std::string::size_type marker = system.find("r_");
    if (marker == std::string::npos)
        return boost::none;
    RouterDescription router;
    const std::string::size_type start = marker + 2;
    router.inputs = leadingInteger(system, start);

    std::string::size_type formatSearch = start;
    const std::string::size_type cross = system.find('x', start);
    const bool rectangular = cross != std::string::npos;
    if (rectangular) {
        router.outputs = leadingInteger(system, cross + 1);
        formatSearch = cross + 1;
    } else {
        router.outputs = router.inputs;
    }

    const std::string::size_type underscore = system.find('_', formatSearch);
    if (underscore != std::string::npos) {
        const std::string::size_type wordStart = underscore + 1;
        const std::string::size_type comma = system.find(',', wordStart);
        router.format = system.substr(wordStart, comma == std::string::npos ? std::string::npos : comma - wordStart);
    }

    router.rackUnits = rackUnitsFor(router.inputs, 0.0625f);
    if (router.format == "data") {
        if (rectangular) {
            router.format += "-xy";
            router.rackUnits = rackUnitsFor(router.inputs, 0.125f);
        } else {
            router.format += "-ported";
        }
    }
    return router;
}

int countPanels(const std::string& system)
{
    static const std::string token = "kpblock";
    int count = 0;
    for (auto hit = system.find(token); hit != std::string::npos; hit = system.find(token, hit + token.size()))
        ++count;
    return count;
}

bool reportsExternalDevice(const Tree& reply)
{
    return !reply.get<std::string>("ext_dev", "").empty() || !reply.get<std::string>("ext_dev0", "").empty();
}

void writeTessoraEntries(const Tree& reply, DeviceEntry& entry)
{
    std::string systemName = reply.get<std::string>("system_name", "");
    std::string systemDescription = reply.get<std::string>("system_description", "");
    entry.put("address", reply.get<int>("address", 0));
    entry.put("version", reply.get<std::string>("version", ""));
    entry.put("build", reply.get<std::string>("build", ""));
    entry.put("revision", reply.get<std::string>("revision", ""));

    int rackUnits = 0;
    const std::string system = reply.get<std::string>("system", "");
    if (boost::optional<RouterDescription> router = describeRouter(system)) {
        rackUnits = router->rackUnits;
        entry.put("router.inputs", router->inputs);
        entry.put("router.outputs", router->outputs);
        entry.put("router.format", router->format);
    } else if (reply.get<std::string>("routerA1", "").empty()) {
        // A panel that works with no router belongs to no system.
        systemName.clear();
        systemDescription.clear();
    }
    entry.put("system_name", systemName);
    entry.put("system_description", systemDescription);

    const int panels = countPanels(system);
    if (panels > 0) {
        entry.put("panel.buttons", buttonsPerPanel * panels);
        rackUnits = panels;
    }
    entry.put("rack_unit_size", rackUnits);
}

// The firmware version without a development suffix ("2.1.0-svn1234" is 2.1.0).
std::string releaseVersion(const Tree& reply)
{
    std::string version = reply.get<std::string>("version", "0.0.0pre0");
    std::string::size_type suffix = version.find("-svn");
    if (suffix != std::string::npos)
        version.erase(suffix);
    return version;
}

// Modules module0, module1, ... up to the first missing index; each "position;name;version;revision".
void writeModules(const Tree& reply, DeviceEntry& entry)
{
    for (int index = 0;; ++index) {
        boost::optional<std::string> module = reply.get_optional<std::string>("module" + std::to_string(index));
        if (!module)
            return;
        std::vector<std::string> fields = splitFields(*module, ";");
        fields.resize(4);
        const std::string base = "modules." + std::to_string(index) + ".";
        entry.put(base + "position", fields[0]);
        entry.put(base + "name", fields[1]);
        entry.put(base + "version", fields[2]);
        entry.put(base + "revision", fields[3]);
    }
}

void writeControllerBoxEntries(const Tree& reply, DeviceEntry& entry)
{
    entry.put("version", releaseVersion(reply));
    entry.put("build_number", reply.get<std::string>("build_number", "0"));
    entry.put("build_time", reply.get<std::string>("build", "1970-01-01T00:00:00+0000"));
    entry.put("hash", reply.get<std::string>("hash", "0"));
    entry.put("revision", reply.get<std::string>("revision", "0"));
    entry.put("box", reply.get<std::string>("box", "kbox"));
    entry.put("internal_protocol", reply.get<std::string>("internal_protocol", "none"));
    entry.put("address", reply.get<int>("address", 0));
    entry.put("neighbor_mac", reply.get<std::string>("neighbor_mac", ""));
    entry.put("module_positions", reply.get<int>("module_positions", 0));
    writeModules(reply, entry);
}

void writeControllerCardEntries(const Tree& reply, DeviceEntry& entry)
{
    entry.put("version", releaseVersion(reply));
    entry.put("build_time", reply.get<std::string>("build", "0"));
    entry.put("dip", reply.get<std::string>("dip", "0"));
}

// The last subsystem one of whose values contains the device's address text.
boost::optional<std::string> subsystemServing(const SystemTree& tree, const std::string& ip)
{
    boost::optional<std::string> match;
    const Tree* subsystems = tree.findChild("system.subsystems");
    if (!subsystems)
        return match;
    for (const Tree::value_type& subsystem : *subsystems)
        for (const Tree::value_type& field : subsystem.second)
            if (field.second.data().find(ip) != std::string::npos)
                match = subsystem.first;
    return match;
}

// The entries every device gets. A missing required key stops the writing where it is read.
void writeCommonEntries(const Tree& reply, const SystemTree& tree, DeviceEntry& entry, const std::string& kind,
                        const std::string& mac, const std::string& ip)
{
    if (boost::optional<std::string> subsystem = subsystemServing(tree, ip))
        entry.put("subsystem", *subsystem);
    entry.put("ip_settings.mac_address", mac);
    entry.put("ip_settings.ip_address", ip);

    static const std::pair<const char*, const char*> settings[] = {
        {"netmask", "ip_settings.subnet_mask"},
        {"gateway", "ip_settings.default_gateway"},
        {"hostname", "ip_settings.hostname"},
    };
    for (const auto& setting : settings) {
        boost::optional<std::string> value = reply.get_optional<std::string>(setting.first);
        if (!value)
            return;
        entry.put(setting.second, *value);
    }
    entry.put("type", kind);
}

}  // namespace

void ConfClientProtocol::onDeviceGet(const Tree& reply, bool viaDirectLink)
{
    const boost::optional<std::string> from = reply.get_optional<std::string>("from");
    if (!from)
        return;
    const std::string::size_type at = from->find('@');
    if (at == std::string::npos)
        return;
    const boost::optional<std::string> ip = reply.get_optional<std::string>("ip");
    if (!ip)
        return;

    std::string kind = from->substr(0, at);
    const std::string mac = from->substr(at + 1);
    SystemTree& tree = netManager->tree();
    DeviceEntry entry(tree, "devices." + mac + ".");

    if (kind == kindTessora) {
        if (reportsExternalDevice(reply))
            kind = kindUnsupported;
        writeTessoraEntries(reply, entry);
    } else if (kind == kindControllerBox || kind == kindControllerCard) {
        if (!viaDirectLink) {
            // This box describes itself on the main link; later requests are addressed to it.
            entry.moveTo("corvanet.");
            defaultDestination = *from;
        }
        if (kind == kindControllerBox)
            writeControllerBoxEntries(reply, entry);
        else
            writeControllerCardEntries(reply, entry);
    }
    writeCommonEntries(reply, tree, entry, kind, mac, *ip);
    followUpDevice(kind, mac, *from, viaDirectLink);
}

void ConfClientProtocol::followUpDevice(const std::string& kind, const std::string& mac, const std::string& from,
                                        bool viaDirectLink)
{
    if (kind == kindControllerBox) {
        if (viaDirectLink)
            sendTo("spread get", from);
        else
            sendMessage("spread get");
    } else if (kind == kindControllerCard) {
        if (!viaDirectLink)
            executeCommand(replyCommand, "");
    } else {
        executeCommand(deviceListCommand, mac);
    }
}
