#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "model/NetManager.h"

#include <cstdio>
#include <functional>

// Tells the configuration daemon what the router subsystems are: subsystem 0 is this box's
// own, described by its variant (and, in a Tessora Q5 router, by the internal video and audio
// routers its modules make up); the others are those the system tree holds.

using Tree = ConfClientProtocol::Tree;

namespace {

constexpr const char* ownSubsystem = "0";

// The values of a "subsystem set" that differ between subsystems; the options are fixed.
struct SubsystemFields {
    std::string subsystem;
    std::string description;
    std::string interfaceType;
    std::string protocolName;
    std::string protocolType;
    boost::optional<std::string> router1;
};

Tree subsystemBody(const SubsystemFields& fields)
{
    Tree body;
    appendLine(body, "subsystem", fields.subsystem);
    appendLine(body, "cascade_mode", "0");
    appendLine(body, "command_echo", "false");
    appendLine(body, "description", fields.description);
    appendLine(body, "interface_type", fields.interfaceType);
    appendLine(body, "local_lock", "0");
    appendLine(body, "local_mnemonics", "0");
    appendLine(body, "loop_mode", "false");
    appendLine(body, "protocol_name", fields.protocolName);
    appendLine(body, "protocol_type", fields.protocolType);
    if (fields.router1)
        appendLine(body, "router1", *fields.router1);
    appendLine(body, "use_external_port", "0");
    appendLine(body, "user", "3");
    return body;
}

// Subsystem 0 as the box variant describes it: a Lumenrack frame, a Tessora Q5 router, or a
// stand-alone box (any other word).
SubsystemFields boxSubsystem(const std::string& box)
{
    SubsystemFields fields{ownSubsystem, "Corvanet KD-RTN", "internal", "none", "internal", boost::none};
    if (box == "lr") {
        fields.description = "Corvanet BRIX";
        fields.protocolName = "lumenrack";
    } else if (box == "trq5") {
        fields.description = "Tessora Q5";
        fields.protocolName = "tessora_q5";
    }
    return fields;
}

// What the plug-in modules of a Tessora Q5 box make up; the last matrix module counts.
struct Q5Modules {
    bool matrix = false;
    int matrixSize = 0;
    int processingPorts = 0;
    bool processing = false;
};

Q5Modules scanModules(const Tree& modules)
{
    Q5Modules found;
    for (const Tree::value_type& module : modules) {
        const std::string name = module.second.get<std::string>("name", "");
        if (name == "TRQ5-32x32" || name == "TRQ5-64x64") {
            const bool large = name == "TRQ5-64x64";
            found.matrix = true;
            found.matrixSize = large ? 64 : 32;
            found.processingPorts = large ? 16 : 8;
        } else if (name == "TRQ5-PROC") {
            found.processing = true;
        }
    }
    return found;
}

template <class... Numbers>
std::string formatted(const char* format, Numbers... numbers)
{
    char text[64];
    std::snprintf(text, sizeof text, format, numbers...);
    return text;
}

// One internal router of subsystem 0 with its one partition and level.
struct InternalRouter {
    std::string router;
    std::string partition;
    std::string level;
    std::string levelDescription;
    std::string format;
    int inputs;
    int outputs;
    std::function<std::string(int)> inputName;
    std::function<std::string(int)> outputName;
};

// N x N, N = matrix size + processing ports: IN001.., OUT001.., then PROC001.. both ways.
InternalRouter videoRouter(const Q5Modules& modules)
{
    const int size = modules.matrixSize;
    const int ports = size + modules.processingPorts;
    auto name = [size](std::string matrixPrefix) {
        return [size, matrixPrefix](int i) {
            return i < size ? systemvalue::portName(matrixPrefix, i) : systemvalue::portName("PROC", i - size);
        };
    };
    return {"1", "0", "1", "Video router with processing", "Video", ports, ports, name("IN"), name("OUT")};
}

// 98 x 96: eight groups of eight embedded channels, 32 AES ports, then the two extra inputs.
InternalRouter audioRouter()
{
    auto name = [](const char* embeddedFormat, const char* aesFormat) {
        return [embeddedFormat, aesFormat](int i) {
            if (i < 64)
                return formatted(embeddedFormat, i / 8 + 1, i % 8 + 1);
            if (i < 96)
                return formatted(aesFormat, i - 63);
            return std::string(i == 96 ? "1 kHz" : "Mute");
        };
    };
    return {"101", "1", "101", "Audio router", "Audio", 98, 96,
            name("DEMB%02d-%03d", "AES-IN%03d"), name("EMB%02d-%03d", "AES-OUT%03d")};
}

void writeInternalRouter(SystemTree& tree, const InternalRouter& router)
{
    const std::string base = systempath::router(ownSubsystem, router.router) + ".";
    const std::string partition = systempath::partition(ownSubsystem, router.router, router.partition) + ".";
    const std::string level = systempath::level(router.level) + ".";
    const std::string levelName = systemvalue::levelName(router.level);

    tree.put(base + "routerformat", router.format);
    tree.put(base + "routersize", systemvalue::routerSize(router.inputs, router.outputs));
    tree.put(base + "routertype", router.format);

    tree.put(partition + "levelno", router.level);
    tree.put(partition + "levelname", levelName);
    tree.put(partition + "levelalias", "");
    tree.put(partition + "leveldescription", router.levelDescription);
    tree.put(partition + "levelactive", true);
    tree.put(partition + "routerformat", router.format);
    tree.put(partition + "physical_in", systemvalue::portRange(router.inputs));
    tree.put(partition + "physical_out", systemvalue::portRange(router.outputs));

    tree.put(level + "name", levelName);
    tree.put(level + "alias", "");
    tree.put(level + "description", router.levelDescription);
    tree.put(level + "subsystem", ownSubsystem);
    tree.put(level + "router", router.router);
    tree.put(level + "partition", router.partition);

    for (int i = 0; i < router.inputs || i < router.outputs; ++i) {
        const std::string port = std::to_string(i);
        if (i < router.inputs)
            tree.put(base + "inputs." + port + ".name", router.inputName(i));
        if (i < router.outputs)
            tree.put(base + "outputs." + port + ".name", router.outputName(i));
    }
}

}  // namespace

void ConfClientProtocol::pushSystemConfiguration()
{
    const std::string box = netManager->tree().getOr(systempath::own("box"), "");
    sendMessage("subsystem set", subsystemBody(boxSubsystem(box)));
    if (box != "trq5")
        return;

    SystemTree& tree = netManager->tree();
    const Tree* modules = tree.findChild(systempath::own("modules"));
    if (!modules)
        return;
    const Q5Modules found = scanModules(*modules);
    if (found.matrix) {
        const InternalRouter video = videoRouter(found);
        writeInternalRouter(tree, video);
        sendPartition(ownSubsystem, video.router, video.partition);
    }
    if (found.processing) {
        const InternalRouter audio = audioRouter();
        writeInternalRouter(tree, audio);
        sendPartition(ownSubsystem, audio.router, audio.partition);
    }
}

void ConfClientProtocol::sendSubsystem(const std::string& subsystem)
{
    deviceListCommand.reset();
    const Tree* node = netManager->tree().findChild(systempath::subsystem(subsystem));
    if (!node) {
        Tree body;
        appendLine(body, "subsystem", subsystem);
        sendMessage("subsystem reset", body);
        return;
    }
    const SubsystemFields fields{subsystem,
                                 node->get<std::string>("description", ""),
                                 node->get<std::string>("interface_type", ""),
                                 node->get<std::string>("protocol_name", ""),
                                 node->get<std::string>("protocol_type", ""),
                                 node->get<std::string>("router1", "")};
    sendMessage("subsystem set", subsystemBody(fields));
}
