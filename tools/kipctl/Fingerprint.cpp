#include "Fingerprint.h"

#include <set>
#include <stdexcept>

namespace {

std::string shown(const std::optional<std::string>& value) { return value ? "\"" + *value + "\"" : "none"; }

const JsonValue& member(const JsonValue& object, const std::string& key, JsonValue::Kind kind)
{
    auto found = object.object.find(key);
    if (object.kind != JsonValue::Kind::object || found == object.object.end() || found->second.kind != kind)
        throw std::runtime_error("the fingerprint's \"" + key + "\" is missing or of the wrong kind");
    return found->second;
}

}  // namespace

std::string yesNo(bool value) { return value ? "yes" : "no"; }

std::vector<Setting> ipSettings(const std::string& device, const IpSettings& ip)
{
    return {{device, settingName::ipAddress, ip.ipAddress},
            {device, settingName::subnetMask, ip.subnetMask},
            {device, settingName::defaultGateway, ip.defaultGateway},
            {device, settingName::hostname, ip.hostname}};
}

std::vector<Setting> levelSettings(const std::string& mac, const std::optional<Level>& level)
{
    if (!level)
        return {{mac, settingName::levelNumber, std::nullopt},
                {mac, settingName::levelName, std::nullopt},
                {mac, settingName::levelDescription, std::nullopt}};
    return {{mac, settingName::levelNumber, std::to_string(level->number)},
            {mac, settingName::levelName, level->name},
            {mac, settingName::levelDescription, level->description}};
}

Fingerprint Fingerprint::of(const SystemDescription& wanted, const NetworkState& found)
{
    Fingerprint print;
    print.set({thisBox, settingName::system, yesNo(found.hasSystem)}, thisBox);
    for (const Setting& setting : ipSettings(thisBox, found.system.box.ip))
        print.set(setting, thisBox);
    if (!found.hasSystem)
        return print;
    for (const TessoraDevice& device : found.system.tessora) {
        const TessoraDevice* listed = wanted.find(device.mac);
        const std::string label = device.label();
        // A level the plan does not set keeps its number, which no other router may take.
        if (device.level && !(listed && listed->level))
            print.set({device.mac, settingName::levelNumber, std::to_string(device.level->number)}, label);
        if (!listed)
            continue;
        print.set({device.mac, settingName::kind, device.kind}, label);
        print.set({device.mac, settingName::inSystem, yesNo(device.inSystem)}, label);
        for (const Setting& setting : ipSettings(device.mac, device.ip))
            print.set(setting, label);
        if (listed->level)
            for (const Setting& setting : levelSettings(device.mac, device.level))
                print.set(setting, label);
    }
    return print;
}

void Fingerprint::set(const Setting& setting, const std::string& label)
{
    labels[setting.device] = label;
    expect({setting});
}

void Fingerprint::expect(const std::vector<Setting>& effects)
{
    for (const Setting& setting : effects) {
        Key key{setting.device, setting.name};
        if (!setting.known)
            unknown.insert(key);
        if (setting.value && setting.known)
            values[key] = *setting.value;
        else
            values.erase(key);
    }
}

std::vector<std::string> Fingerprint::differences(const Fingerprint& now) const
{
    std::set<Key> keys;
    for (const auto* print : {this, &now})
        for (const auto& entry : print->values)
            keys.insert(entry.first);
    auto valueIn = [](const Fingerprint& print, const Key& key) -> std::optional<std::string> {
        auto found = print.values.find(key);
        return found == print.values.end() ? std::nullopt : std::make_optional(found->second);
    };
    std::vector<std::string> lines;
    for (const Key& key : keys) {
        std::optional<std::string> expected = valueIn(*this, key), found = valueIn(now, key);
        if (expected == found || unknown.count(key))
            continue;
        lines.push_back(labelOf(key.first, now) + ": " + key.second + ": expected " + shown(expected) + ", found " + shown(found));
    }
    return lines;
}

std::string Fingerprint::labelOf(const std::string& device, const Fingerprint& now) const
{
    for (const auto* print : {this, &now}) {
        auto found = print->labels.find(device);
        if (found != print->labels.end())
            return found->second;
    }
    return device;
}

JsonValue Fingerprint::json() const
{
    JsonValue root = JsonValue::ofKind(JsonValue::Kind::object);
    for (const auto& entry : labels) {
        JsonValue& device = root.object[entry.first] = JsonValue::ofKind(JsonValue::Kind::object);
        device.object["label"] = JsonValue::ofString(entry.second);
        device.object["settings"] = JsonValue::ofKind(JsonValue::Kind::object);
    }
    for (const auto& entry : values)
        root.object[entry.first.first].object["settings"].object[entry.first.second] = JsonValue::ofString(entry.second);
    return root;
}

Fingerprint Fingerprint::fromJson(const JsonValue& value)
{
    if (value.kind != JsonValue::Kind::object)
        throw std::runtime_error("the fingerprint is not an object");
    Fingerprint print;
    for (const auto& device : value.object) {
        print.labels[device.first] = member(device.second, "label", JsonValue::Kind::string).text;
        for (const auto& setting : member(device.second, "settings", JsonValue::Kind::object).object) {
            if (setting.second.kind != JsonValue::Kind::string)
                throw std::runtime_error("the fingerprint's setting \"" + setting.first + "\" is not a text");
            print.values[{device.first, setting.first}] = setting.second.text;
        }
    }
    return print;
}
