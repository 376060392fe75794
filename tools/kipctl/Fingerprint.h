#pragma once

#include "Json.h"
#include "NetworkSurvey.h"
#include "SystemDescription.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// One setting of one device: what a plan read, or what a change leaves there.
struct Setting {
    std::string device;                // a MAC address, or "this box"
    std::string name;                  // "level name"
    std::optional<std::string> value;  // none: the device has no such setting, or is not on the network
    bool known = true;                 // false: a change leaves the value to kipd
};

// The settings of the network that a plan reads, by device and name, so that a later look at the
// network can say what changed since. A plan made from equal fingerprints is the same plan.
class Fingerprint {
public:
    static constexpr const char* thisBox = "this box";

    // What the plan of `wanted` reads from `found`: this box, every device the file lists (all of
    // its settings, or nothing when the search does not find it; its level only where the file
    // gives one, else the number it keeps) and the level numbers of the routers it does not list.
    static Fingerprint of(const SystemDescription& wanted, const NetworkState& found);

    void set(const Setting& setting, const std::string& label);
    // What a change leaves on the network, so that the next look expects it; a setting left to
    // kipd is not compared any more.
    void expect(const std::vector<Setting>& effects);
    // One line per setting that differs from `now`: "LABEL: NAME: expected "A", found "B"".
    std::vector<std::string> differences(const Fingerprint& now) const;

    JsonValue json() const;
    // Throws std::runtime_error naming what is wrong.
    static Fingerprint fromJson(const JsonValue& value);

    bool operator==(const Fingerprint& other) const { return values == other.values; }

private:
    std::string labelOf(const std::string& device, const Fingerprint& now) const;

    using Key = std::pair<std::string, std::string>;
    std::map<Key, std::string> values;
    std::map<std::string, std::string> labels;  // device -> "host (MAC)" as the plan saw it
    std::set<Key> unknown;
};

// The names of the settings, as difference lines show them.
namespace settingName {
constexpr const char* system = "has a system";
constexpr const char* mayChangeIp = "may-change-ip";
constexpr const char* mayUseBuilder = "may-use-builder";
constexpr const char* kind = "kind";
constexpr const char* inSystem = "in the system";
constexpr const char* ipAddress = "IP address";
constexpr const char* subnetMask = "subnet mask";
constexpr const char* defaultGateway = "default gateway";
constexpr const char* hostname = "host name";
constexpr const char* levelNumber = "level number";
constexpr const char* levelName = "level name";
constexpr const char* levelDescription = "level description";
}  // namespace settingName

// The settings a device's IP settings and level make, for a fingerprint or a change's effects.
std::vector<Setting> ipSettings(const std::string& device, const IpSettings& ip);
std::vector<Setting> levelSettings(const std::string& mac, const std::optional<Level>& level);
std::string yesNo(bool value);
