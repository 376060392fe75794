#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <locale>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// The "device get" reply handler: one reply describes one device and becomes one entry of the
// system tree, under "devices.<MAC>." or, for this box itself, under "corvanet.".

using Tree = ConfClientProtocol::Tree;

namespace {

constexpr int buttonsPerPanel = 40;

// The child `key` of `node`, appended (empty) when there is none.
Tree& childOrAppend(Tree& node, const std::string& key)
{
    Tree::assoc_iterator found = node.find(key);
    if (found != node.not_found())
        return found->second;
    // Built in place and copied once: every copy of a tree allocates.
    const Tree::value_type child(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
    return node.push_back(child)->second;
}

// The node at `path` below `node`, created where missing, walked as the tree's put walks it.
Tree& nodeAt(Tree& node, const std::string& path)
{
    Tree* current = &node;
    for (std::string::size_type start = 0; start < path.size();) {
        std::string::size_type dot = path.find('.', start);
        if (dot == std::string::npos)
            dot = path.size();
        current = &childOrAppend(*current, path.substr(start, dot - start));
        start = dot + 1;
    }
    return *current;
}

// The keys of one device entry, under a prefix ending in "." ("devices.<MAC>." or
// "corvanet."), put below the entry's node, found once (equivalence: docs/performance.md).
class DeviceEntry {
public:
    DeviceEntry(SystemTree& tree, std::string prefix) : tree(tree), prefix(std::move(prefix)) {}

    void moveTo(std::string newPrefix)
    {
        prefix = std::move(newPrefix);
        node = nullptr;
    }
    void put(const std::string& key, const std::string& value) { nodeAt(entry(), key).data() = value; }
    // As the tree's translator writes it (docs/performance.md).
    void put(const std::string& key, int value) { put(key, std::to_string(value)); }

private:
    Tree& entry()
    {
        if (!node)
            node = &nodeAt(tree.root(), prefix);
        return *node;
    }

    SystemTree& tree;
    std::string prefix;
    Tree* node = nullptr;
};

// Reply keys hold no dots: a direct child look-up is the path look-up (docs/performance.md).
boost::optional<std::string> optionalTextOf(const Tree& reply, const std::string& key)
{
    Tree::const_assoc_iterator found = reply.find(key);
    if (found == reply.not_found())
        return boost::none;
    return found->second.data();
}

std::string textOf(const Tree& reply, const std::string& key, const std::string& fallback)
{
    Tree::const_assoc_iterator found = reply.find(key);
    return found == reply.not_found() ? fallback : found->second.data();
}

// The text as the tree's translator reads an int, 0 when it reads none (docs/performance.md).
int wholeInteger(const std::string& text)
{
    const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(std::locale());
    auto isSpace = [&ctype](char c) { return ctype.is(std::ctype_base::space, c); };
    std::string::size_type at = 0;
    while (at < text.size() && isSpace(text[at]))
        ++at;
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+'))
        ++at;
    const std::string::size_type digits = at;
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            return 0;
    }
    while (at < text.size() && isSpace(text[at]))
        ++at;
    if (at == digits || at != text.size())
        return 0;
    if (negative)
        value = -value;
    return value < INT_MIN || value > INT_MAX ? 0 : static_cast<int>(value);
}

int integerOf(const Tree& reply, const std::string& key)
{
    Tree::const_assoc_iterator found = reply.find(key);
    return found == reply.not_found() ? 0 : wholeInteger(found->second.data());
}

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
    return !textOf(reply, "ext_dev", "").empty() || !textOf(reply, "ext_dev0", "").empty();
}

void writeTessoraEntries(const Tree& reply, DeviceEntry& entry)
{
    std::string systemName = textOf(reply, "system_name", "");
    std::string systemDescription = textOf(reply, "system_description", "");
    entry.put("address", integerOf(reply, "address"));
    entry.put("version", textOf(reply, "version", ""));
    entry.put("build", textOf(reply, "build", ""));
    entry.put("revision", textOf(reply, "revision", ""));

    int rackUnits = 0;
    const std::string system = textOf(reply, "system", "");
    if (boost::optional<RouterDescription> router = describeRouter(system)) {
        rackUnits = router->rackUnits;
        entry.put("router.inputs", router->inputs);
        entry.put("router.outputs", router->outputs);
        entry.put("router.format", router->format);
    } else if (textOf(reply, "routerA1", "").empty()) {
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
    std::string version = textOf(reply, "version", "0.0.0pre0");
    std::string::size_type suffix = version.find("-svn");
    if (suffix != std::string::npos)
        version.erase(suffix);
    return version;
}

// Modules module0, module1, ... up to the first missing index; each "position;name;version;revision".
void writeModules(const Tree& reply, DeviceEntry& entry)
{
    for (int index = 0;; ++index) {
        boost::optional<std::string> module = optionalTextOf(reply, "module" + std::to_string(index));
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
    entry.put("build_number", textOf(reply, "build_number", "0"));
    entry.put("build_time", textOf(reply, "build", "1970-01-01T00:00:00+0000"));
    entry.put("hash", textOf(reply, "hash", "0"));
    entry.put("revision", textOf(reply, "revision", "0"));
    entry.put("box", textOf(reply, "box", "kbox"));
    entry.put("internal_protocol", textOf(reply, "internal_protocol", "none"));
    entry.put("address", integerOf(reply, "address"));
    entry.put("neighbor_mac", textOf(reply, "neighbor_mac", ""));
    entry.put("module_positions", integerOf(reply, "module_positions"));
    writeModules(reply, entry);
}

void writeControllerCardEntries(const Tree& reply, DeviceEntry& entry)
{
    entry.put("version", releaseVersion(reply));
    entry.put("build_time", textOf(reply, "build", "0"));
    entry.put("dip", textOf(reply, "dip", "0"));
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
        boost::optional<std::string> value = optionalTextOf(reply, setting.first);
        if (!value)
            return;
        entry.put(setting.second, *value);
    }
    entry.put("type", kind);
}

}  // namespace

void ConfClientProtocol::onDeviceGet(const Tree& reply, bool viaDirectLink)
{
    const boost::optional<std::string> from = optionalTextOf(reply, "from");
    if (!from)
        return;
    const std::string::size_type at = from->find('@');
    if (at == std::string::npos)
        return;
    const boost::optional<std::string> ip = optionalTextOf(reply, "ip");
    if (!ip)
        return;
    if (viaDirectLink)
        ++search.replies;

    std::string kind = from->substr(0, at);
    const std::string mac = from->substr(at + 1);
    SystemTree& tree = netManager->tree();
    DeviceEntry entry(tree, systempath::device(mac) + ".");

    if (kind == devicekind::tessora) {
        if (reportsExternalDevice(reply))
            kind = devicekind::unsupported;
        writeTessoraEntries(reply, entry);
    } else if (kind == devicekind::controllerBox || kind == devicekind::controllerCard) {
        if (!viaDirectLink) {
            // This box describes itself on the main link; later requests are addressed to it.
            entry.moveTo(std::string(systempath::ownBox) + ".");
            defaultDestination = *from;
        }
        if (kind == devicekind::controllerBox)
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
    if (kind == devicekind::controllerBox) {
        if (viaDirectLink)
            sendTo("spread get", from);
        else
            sendMessage("spread get");
    } else if (kind == devicekind::controllerCard) {
        if (!viaDirectLink)
            executeIfSet(replyCommand, "");
    } else {
        executeIfSet(deviceListCommand, mac);
    }
}
