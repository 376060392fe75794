#include "SystemFile.h"

#include "Json.h"
#include "wire/Utf8.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace systemfile {
namespace {

using Kind = JsonValue::Kind;
using Keys = std::vector<std::string>;

const Keys ipKeys = {"default_gateway", "hostname", "ip_address", "mac_address", "subnet_mask"};

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

bool isHostname(const std::string& text)
{
    if (text.empty() || text.size() > 63 || text.front() == '-' || text.back() == '-')
        return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'; });
}

// kipd passes texts on in key=value lines, and they reach terminals: a line feed would split a
// line, and a control character (C0, DEL or C1) would act on the terminal that shows it.
bool isPlainText(const std::string& text)
{
    for (std::size_t at = 0; at < text.size(); ++at) {
        auto byte = static_cast<unsigned char>(text[at]);
        auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0u;
        if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F))
            return false;
    }
    return isUtf8(text);
}

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// Checks a parsed file field by field and collects every problem with its place.
class FileChecker {
public:
    explicit FileChecker(std::string name) : name(std::move(name)) {}

    SystemDescription check(const JsonValue& root)
    {
        SystemDescription system;
        checkTexts(root, "");
        if (!fields(root, "the file", {"schema", "this_box", "tessora", "other_devices"}, {}))
            return finish(system);
        const JsonValue& schema = root.object.at("schema");
        if (schema.kind != Kind::number || schema.text != std::to_string(schemaVersion))
            problem(schema, "schema", "kipctl reads schema " + std::to_string(schemaVersion));
        readBox(root.object.at("this_box"), system.box);
        for (const JsonValue& entry : list(root.object.at("tessora"), "tessora")) {
            std::string where = "tessora[" + std::to_string(system.tessora.size()) + "]";
            system.tessora.push_back(readTessora(entry, where));
        }
        for (const JsonValue& entry : list(root.object.at("other_devices"), "other_devices")) {
            OtherDevice other;
            std::string where = "other_devices[" + std::to_string(system.others.size()) + "]";
            if (fields(entry, where, ipKeys, {}))
                other.mac = readIp(entry, where, other.ip);
            system.others.push_back(other);
        }
        checkTogether(root, system);
        return finish(system);
    }

private:
    void problem(const JsonValue& at, const std::string& where, const std::string& what)
    {
        if (++problemCount <= problemLimit)
            problems.push_back(name + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " +
                               where + ": " + what);
    }

    SystemDescription finish(SystemDescription& system)
    {
        if (problemCount > problemLimit)
            problems.push_back(name + ": " + std::to_string(problemCount - problemLimit) + " more problems");
        if (!problems.empty())
            throw FileError(problems);
        return std::move(system);
    }

    // Every string of the file, wherever it stands: kipctl passes none on that is not plain text.
    void checkTexts(const JsonValue& value, const std::string& where)
    {
        if (value.kind == Kind::string && !isPlainText(value.text))
            problem(value, where.empty() ? "the file" : where, "expected UTF-8 text without control characters");
        for (std::size_t i = 0; i < value.array.size(); ++i)
            checkTexts(value.array[i], where + "[" + std::to_string(i) + "]");
        for (const auto& member : value.object)
            checkTexts(member.second, where.empty() ? member.first : where + "." + member.first);
    }

    // An object with every required key, no key beyond the required and optional ones.
    bool fields(const JsonValue& value, const std::string& where, const Keys& required, const Keys& optional)
    {
        if (value.kind != Kind::object) {
            problem(value, where, "expected an object");
            return false;
        }
        std::size_t before = problemCount;
        for (const std::string& key : required)
            if (!value.object.count(key))
                problem(value, where, "the field \"" + key + "\" is missing");
        for (const auto& member : value.object)
            if (std::find(required.begin(), required.end(), member.first) == required.end() &&
                std::find(optional.begin(), optional.end(), member.first) == optional.end())
                problem(member.second, where, "unknown key \"" + member.first + "\"");
        return problemCount == before;
    }

    const std::vector<JsonValue>& list(const JsonValue& value, const std::string& where)
    {
        static const std::vector<JsonValue> none;
        if (value.kind != Kind::array)
            problem(value, where, "expected an array");
        else if (value.array.size() > deviceListLimit)
            problem(value, where, std::to_string(value.array.size()) + " entries: kipctl reads at most " +
                                      std::to_string(deviceListLimit));
        else
            return value.array;
        return none;
    }

    std::string string(const JsonValue& object, const std::string& key, const std::string& where)
    {
        const JsonValue& value = object.object.at(key);
        if (value.kind == Kind::string)
            return value.text;
        problem(value, where + "." + key, "expected a string in double quotes");
        return {};
    }

    // The text of a field, when `valid` holds for it.
    std::string checked(const JsonValue& object, const std::string& key, const std::string& where,
                        bool (*valid)(const std::string&), const std::string& what)
    {
        const JsonValue& value = object.object.at(key);
        std::string text = string(object, key, where);
        if (value.kind == Kind::string && !valid(text))
            problem(value, where + "." + key, "\"" + text + "\" is not " + what);
        return text;
    }

    // The IP settings of a device; returns its MAC address in upper case.
    std::string readIp(const JsonValue& object, const std::string& where, IpSettings& ip)
    {
        ip.ipAddress = checked(object, "ip_address", where, isIpv4, "an IPv4 address");
        ip.subnetMask = checked(object, "subnet_mask", where, isSubnetMask, "a subnet mask");
        ip.defaultGateway = checked(object, "default_gateway", where, isIpv4, "an IPv4 address");
        ip.hostname = checked(object, "hostname", where, isHostname, "a host name (letters, digits, '-' and '.')");
        return upper(checked(object, "mac_address", where, isMac, "a MAC address (six pairs of hex digits)"));
    }

    void readBox(const JsonValue& value, ThisBox& box)
    {
        Keys keys = ipKeys;
        keys.push_back("system");
        if (!fields(value, "this_box", keys, {}))
            return;
        box.mac = readIp(value, "this_box", box.ip);
        box.system = string(value, "system", "this_box");
    }

    TessoraDevice readTessora(const JsonValue& value, const std::string& where)
    {
        TessoraDevice device;
        Keys keys = ipKeys;
        keys.insert(keys.end(), {"in_system", "kind"});
        if (!fields(value, where, keys, {"level"}))
            return device;
        device.mac = readIp(value, where, device.ip);
        device.kind = string(value, "kind", where);
        if (device.kind != "router" && device.kind != "panel")
            problem(value.object.at("kind"), where + ".kind", "expected \"router\" or \"panel\"");
        const JsonValue& inSystem = value.object.at("in_system");
        if (inSystem.kind != Kind::boolean)
            problem(inSystem, where + ".in_system", "expected true or false");
        device.inSystem = inSystem.boolean;
        auto level = value.object.find("level");
        if (level != value.object.end())
            device.level = readLevel(level->second, where + ".level", device);
        return device;
    }

    Level readLevel(const JsonValue& value, const std::string& where, const TessoraDevice& device)
    {
        Level level;
        if (device.kind == "panel")
            problem(value, where, "a panel has no level");
        else if (!device.inSystem)
            problem(value, where, "only a router in the system has a level: remove it, or set in_system to true");
        if (!fields(value, where, {"description", "name", "number"}, {}))
            return level;
        const JsonValue& number = value.object.at("number");
        std::size_t used = 0;
        try {
            level.number = std::stol(number.text, &used);
        } catch (const std::logic_error&) {
        }
        if (number.kind != Kind::number || used != number.text.size() || level.number < firstLevel ||
            level.number > lastLevel)
            problem(number, where + ".number",
                    "expected a whole number from " + std::to_string(firstLevel) + " to " + std::to_string(lastLevel));
        level.name = string(value, "name", where);
        if (level.name.empty())
            problem(value.object.at("name"), where + ".name", "expected a name");
        level.description = string(value, "description", where);
        return level;
    }

    // The rules between devices: one entry per MAC, one router per level.
    void checkTogether(const JsonValue& root, const SystemDescription& system)
    {
        std::map<std::string, std::string> macs;
        std::map<long, std::string> levels;
        const std::vector<JsonValue>& entries = root.object.at("tessora").array;
        for (std::size_t i = 0; i < system.tessora.size() && i < entries.size(); ++i) {
            const TessoraDevice& device = system.tessora[i];
            std::string where = "tessora[" + std::to_string(i) + "]";
            if (!device.mac.empty() && !macs.emplace(device.mac, where).second)
                problem(entries[i], where, "the MAC address " + device.mac + " is also " + macs[device.mac] + "'s");
            if (device.level && device.level->number > 0 && !levels.emplace(device.level->number, where).second)
                problem(entries[i], where,
                        "level " + std::to_string(device.level->number) + " is also " + levels[device.level->number] +
                            "'s: two routers cannot share a level");
        }
    }

    std::string name;
    std::vector<std::string> problems;
    std::size_t problemCount = 0;
};

JsonValue ipObject(const std::string& mac, const IpSettings& ip)
{
    JsonValue object = JsonValue::ofKind(Kind::object);
    object.object["mac_address"] = JsonValue::ofString(mac);
    object.object["ip_address"] = JsonValue::ofString(ip.ipAddress);
    object.object["subnet_mask"] = JsonValue::ofString(ip.subnetMask);
    object.object["default_gateway"] = JsonValue::ofString(ip.defaultGateway);
    object.object["hostname"] = JsonValue::ofString(ip.hostname);
    return object;
}

JsonValue tessoraObject(const TessoraDevice& device)
{
    JsonValue object = ipObject(device.mac, device.ip);
    object.object["kind"] = JsonValue::ofString(device.kind);
    object.object["in_system"] = JsonValue::ofBoolean(device.inSystem);
    if (device.level) {
        JsonValue& level = object.object["level"] = JsonValue::ofKind(Kind::object);
        level.object["number"] = JsonValue::ofNumber(device.level->number);
        level.object["name"] = JsonValue::ofString(device.level->name);
        level.object["description"] = JsonValue::ofString(device.level->description);
    }
    return object;
}

}  // namespace

FileError::FileError(const std::vector<std::string>& problems) : std::runtime_error(joined(problems)), lines(problems)
{
}

bool isMac(const std::string& text)
{
    if (text.size() != 17)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (i % 3 == 2 ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

bool isIpv4(const std::string& text)
{
    std::istringstream parts(text);
    std::string part;
    int count = 0;
    while (std::getline(parts, part, '.')) {
        bool digits = !part.empty() && part.size() <= 3 &&
                      std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || (part.size() > 1 && part[0] == '0') || std::stoi(part) > 255)
            return false;
        ++count;
    }
    return count == 4 && text.back() != '.';
}

bool isSubnetMask(const std::string& text)
{
    if (!isIpv4(text))
        return false;
    std::istringstream parts(text);
    std::string part;
    unsigned long bits = 0;
    while (std::getline(parts, part, '.'))
        bits = bits << 8 | std::stoul(part);
    // The ones come first: adding the lowest one carries through all of them.
    unsigned long zeros = ~bits & 0xFFFFFFFFul;
    return (zeros & (zeros + 1)) == 0;
}

SystemDescription parse(const std::string& text, const std::string& name)
{
    if (text.size() > fileSizeLimit)
        throw FileError({name + ": more than " + std::to_string(fileSizeLimit) + " bytes, the most kipctl reads"});
    JsonValue root;
    try {
        root = parseJson(text);
    } catch (const JsonSyntaxError& error) {
        throw FileError({name + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
                         ": not JSON: " + error.what()});
    }
    return FileChecker(name).check(root);
}

std::string readText(const std::string& path, std::size_t limit)
{
    std::ifstream file(path, std::ios::binary);
    std::string text;
    char chunk[65536];
    while (file && text.size() <= limit) {
        file.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<std::size_t>(file.gcount()));
    }
    if (!file.is_open() || file.bad())
        throw FileError({path + ": cannot read the file"});
    return text;
}

SystemDescription read(const std::string& path)
{
    std::string text = readText(path, fileSizeLimit);
    if (text.empty())
        throw FileError({path + ": cannot read the file"});
    return parse(text, path);
}

std::string text(const SystemDescription& system)
{
    JsonValue root = JsonValue::ofKind(Kind::object);
    root.object["schema"] = JsonValue::ofNumber(schemaVersion);
    JsonValue& box = root.object["this_box"] = ipObject(system.box.mac, system.box.ip);
    box.object["system"] = JsonValue::ofString(system.box.system);
    JsonValue& tessora = root.object["tessora"] = JsonValue::ofKind(Kind::array);
    for (const TessoraDevice& device : system.tessora)
        tessora.array.push_back(tessoraObject(device));
    JsonValue& others = root.object["other_devices"] = JsonValue::ofKind(Kind::array);
    for (const OtherDevice& other : system.others)
        others.array.push_back(ipObject(other.mac, other.ip));
    return prettyJson(root);
}

}  // namespace systemfile
