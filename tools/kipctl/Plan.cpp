#include "Plan.h"

#include "Json.h"
#include "Output.h"

#include <algorithm>
#include <map>

namespace {

using Tree = boost::property_tree::ptree;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string levelText(const Level& level)
{
    std::string text = "level " + std::to_string(level.number) + " " + quoted(level.name);
    return level.description.empty() ? text : text + ", description " + quoted(level.description);
}

// "IP address 1 -> 2" for each setting that differs.
std::vector<std::string> ipDifferences(const IpSettings& from, const IpSettings& to)
{
    std::vector<std::string> lines;
    auto compare = [&lines](const char* what, const std::string& a, const std::string& b, bool quote) {
        if (a != b)
            lines.push_back(std::string(what) + " " + (quote ? quoted(a) : a) + " -> " + (quote ? quoted(b) : b));
    };
    compare("IP address", from.ipAddress, to.ipAddress, false);
    compare("subnet mask", from.subnetMask, to.subnetMask, false);
    compare("default gateway", from.defaultGateway, to.defaultGateway, false);
    compare("host name", from.hostname, to.hostname, true);
    return lines;
}

std::vector<std::string> levelDifferences(const std::optional<Level>& from, const Level& to)
{
    if (!from)
        return {"gets " + levelText(to)};
    std::vector<std::string> lines;
    std::string level = "level " + std::to_string(from->number);
    if (from->number != to.number)
        lines.push_back(level + " -> " + std::to_string(to.number));
    if (from->name != to.name)
        lines.push_back(level + " name " + quoted(from->name) + " -> " + quoted(to.name));
    if (from->description != to.description)
        lines.push_back(level + " description " + quoted(from->description) + " -> " + quoted(to.description));
    return lines;
}

Tree deviceRequest(const std::string& mac)
{
    Tree request;
    request.put("type", "set_tessora_info");
    request.put("ip_settings.mac_address", mac);
    return request;
}

// Only the settings that change are sent: kipd renames a router's level after any host name it is given.
Tree ipRequest(const std::string& mac, const IpSettings& from, const IpSettings& to)
{
    Tree request = deviceRequest(mac);
    auto changed = [&request](const char* key, const std::string& a, const std::string& b) {
        if (a != b)
            request.put(std::string("ip_settings.") + key, b);
    };
    changed("ip_address", from.ipAddress, to.ipAddress);
    changed("subnet_mask", from.subnetMask, to.subnetMask);
    changed("default_gateway", from.defaultGateway, to.defaultGateway);
    changed("hostname", from.hostname, to.hostname);
    return request;
}

Tree levelRequest(const std::string& mac, const std::optional<Level>& level)
{
    Tree request = deviceRequest(mac);
    if (level) {
        request.put("system.level.no", std::to_string(level->number));
        request.put("system.level.name", level->name);
        request.put("system.level.description", level->description);
    }
    return request;
}

Change change(const std::string& mac, const std::string& label, const std::vector<std::string>& lines,
              std::vector<Tree> requests, bool membership, std::vector<Setting> effects)
{
    Change result{mac, {}, std::move(requests), membership, std::move(effects)};
    for (const std::string& line : lines)
        result.lines.push_back(label + ": " + line);
    return result;
}

}  // namespace

Plan::Plan(const SystemDescription& wanted, const NetworkState& found, bool skipMissing,
           std::vector<std::string>& problems, std::vector<std::string>& notes)
{
    if (found.hasSystem) {
        // The levels that stay where they are: of routers the file does not list, or lists in the
        // system without a level.
        std::map<long, std::string> keptLevels;
        for (const TessoraDevice& device : found.system.tessora) {
            const TessoraDevice* listed = wanted.find(device.mac);
            if (device.level && (!listed || (listed->inSystem && !listed->level)))
                keptLevels[device.level->number] =
                    device.label() + (listed ? ", which keeps it (the file gives it no level)"
                                             : ", which the file does not list");
        }
        for (const TessoraDevice& device : wanted.tessora) {
            const TessoraDevice* present = found.system.find(device.mac);
            std::string label = device.label();
            if (!present && skipMissing)
                notes.push_back("skipped: the search did not find " + label);
            else if (!present)
                problems.push_back(label + ": the search did not find it as a Tessora device of this system or of none"
                                           " (--skip-missing leaves it out)");
            else if (device.level && keptLevels.count(device.level->number))
                problems.push_back(label + ": level " + std::to_string(device.level->number) + " belongs to " +
                                   keptLevels[device.level->number]);
            else
                planDevice(device, *present, problems);
        }
        orderLevelChanges(problems);
    } else if (!wanted.tessora.empty()) {
        notes.push_back("this box has no system yet, so its devices cannot be searched: apply creates the system,"
                        " then apply again once the box is back to bring the devices in");
    }
    planBox(wanted.box, found);
    // A router that joins without a level takes the next free number: after those that name theirs.
    std::stable_partition(joins.begin(), joins.end(),
                          [&wanted](const Change& join) { return wanted.find(join.mac)->level.has_value(); });
    for (auto* group : {&leaves, &ipChanges, &levelChanges, &joins, &box})
        ordered.insert(ordered.end(), group->begin(), group->end());
}

void Plan::planDevice(const TessoraDevice& wanted, const TessoraDevice& found, std::vector<std::string>& problems)
{
    const std::string label = found.label();
    if (wanted.kind != found.kind) {
        problems.push_back(label + ": it is a " + found.kind + " on the network, not a " + wanted.kind);
        return;
    }
    if (found.inSystem && !wanted.inSystem) {
        Tree request = deviceRequest(wanted.mac);
        request.put("system.include", "false");
        std::vector<Setting> effects = levelSettings(wanted.mac, std::nullopt);
        effects.push_back({wanted.mac, settingName::inSystem, yesNo(false)});
        leaves.push_back(change(wanted.mac, label, {"leaves the system"}, {request}, true, effects));
    }

    // kipd names a router's level after its new host name: the level is set again when the file keeps its name.
    std::optional<Level> levelAfterIp = found.level;
    bool renamesLevel = found.inSystem && wanted.inSystem && found.level && found.ip.hostname != wanted.ip.hostname;
    if (renamesLevel)
        levelAfterIp->name = wanted.ip.hostname;
    std::vector<std::string> ipLines = ipDifferences(found.ip, wanted.ip);
    if (!ipLines.empty()) {
        std::vector<Tree> requests = {ipRequest(wanted.mac, found.ip, wanted.ip)};
        std::vector<Setting> effects = ipSettings(wanted.mac, wanted.ip);
        bool keepsLevel = renamesLevel && wanted.level && wanted.level == found.level;
        if (keepsLevel) {
            ipLines.back() += " (level " + std::to_string(found.level->number) + " keeps its name)";
            requests.push_back(levelRequest(wanted.mac, wanted.level));
        } else if (renamesLevel && wanted.level) {
            effects.push_back({wanted.mac, settingName::levelName, levelAfterIp->name});
        }
        ipChanges.push_back(change(wanted.mac, label, ipLines, requests, false, effects));
    }

    if (wanted.inSystem && !found.inSystem) {
        std::string line = "joins the system" + (wanted.level ? " at " + levelText(*wanted.level) : "");
        // kipd numbers a router that joins without a level.
        std::vector<Setting> effects = {{wanted.mac, settingName::inSystem, yesNo(true)}};
        if (wanted.level)
            for (const Setting& setting : levelSettings(wanted.mac, wanted.level))
                effects.push_back(setting);
        else if (wanted.kind == "router")
            effects.push_back({wanted.mac, settingName::levelNumber, std::nullopt, false});
        joins.push_back(change(wanted.mac, label, {line}, {levelRequest(wanted.mac, wanted.level)}, true, effects));
    } else if (wanted.inSystem && wanted.level && !(wanted.level == found.level)) {
        // kipd keeps the old description when it is given an empty one.
        if (wanted.level->description.empty() && found.level && !found.level->description.empty())
            problems.push_back(label + ": kipd cannot empty a level's description; give level " +
                               std::to_string(wanted.level->number) + " a description");
        else if (!(wanted.level == levelAfterIp)) {
            levelChanges.push_back(change(wanted.mac, label, levelDifferences(found.level, *wanted.level),
                                          {levelRequest(wanted.mac, wanted.level)}, true,
                                          levelSettings(wanted.mac, wanted.level)));
            levelMoves.push_back({found.level ? std::make_optional(found.level->number) : std::nullopt,
                                  wanted.level->number, label});
        }
    }
}

// kipd gives a router the next free level when the one it asks for is taken, so a router moves
// to a number only once the router holding it has moved away.
void Plan::orderLevelChanges(std::vector<std::string>& problems)
{
    std::vector<Change> inOrder;
    std::vector<LevelMove> moves = levelMoves;
    while (!levelChanges.empty()) {
        auto isHeld = [&moves](std::size_t mover) {
            for (std::size_t other = 0; other < moves.size(); ++other)
                if (other != mover && moves[other].from == moves[mover].to)
                    return true;
            return false;
        };
        std::size_t next = 0;
        while (next < moves.size() && isHeld(next))
            ++next;
        if (next == moves.size()) {
            std::string routers;
            for (const LevelMove& move : moves)
                routers += (routers.empty() ? "" : ", ") + move.label;
            problems.push_back("the levels of " + routers + " go round in a circle, which kipd cannot make in one "
                               "apply: give one of them a free level first");
            break;
        }
        inOrder.push_back(levelChanges[next]);
        levelChanges.erase(levelChanges.begin() + static_cast<long>(next));
        moves.erase(moves.begin() + static_cast<long>(next));
    }
    levelChanges.insert(levelChanges.begin(), inOrder.begin(), inOrder.end());
}

void Plan::planBox(const ThisBox& wanted, const NetworkState& found)
{
    std::vector<std::string> lines = ipDifferences(found.system.box.ip, wanted.ip);
    for (std::string& line : lines)
        line += " (the box reboots)";
    if (!found.hasSystem)
        lines.push_back("creates the system " + quoted(wanted.ip.hostname));
    if (lines.empty())
        return;
    Tree request;
    request.put("type", "set_corvanet_ip_settings");
    request.put("ip_address", wanted.ip.ipAddress);
    request.put("subnet_mask", wanted.ip.subnetMask);
    request.put("default_gateway", wanted.ip.defaultGateway);
    request.put("hostname", wanted.ip.hostname);
    std::vector<Setting> effects = ipSettings(Fingerprint::thisBox, wanted.ip);
    effects.push_back({Fingerprint::thisBox, settingName::system, yesNo(true)});
    box.push_back(change("", "this box", lines, {request}, false, effects));
}

bool Plan::changesBox() const { return !box.empty(); }

bool Plan::changesMembership() const
{
    for (const Change& change : ordered)
        if (change.changesMembership)
            return true;
    return false;
}

std::string Plan::json() const
{
    JsonValue root = JsonValue::ofKind(JsonValue::Kind::object);
    JsonValue& list = root.object["changes"] = JsonValue::ofKind(JsonValue::Kind::array);
    for (const Change& change : ordered) {
        JsonValue entry = JsonValue::ofKind(JsonValue::Kind::object);
        entry.object["device"] = JsonValue::ofString(change.mac.empty() ? "this box" : change.mac);
        JsonValue& lines = entry.object["lines"] = JsonValue::ofKind(JsonValue::Kind::array);
        for (const std::string& line : change.lines)
            lines.array.push_back(JsonValue::ofString(line));
        list.array.push_back(entry);
    }
    root.object["pending"] = JsonValue::ofBoolean(!ordered.empty());
    return output::compactJson(prettyJson(root));
}
