// Feeds arbitrary configuration-daemon texts through the whole receiving path: NUL framing,
// INI reading with duplicate-key numbering, dispatch, and every reply handler, against a tree
// that holds a system. The input is addressed to the daemon with a chosen message name.
#include "FuzzSupport.h"

#include "confclient/ConfClientProtocol.h"
#include "transport/MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

const char* const ownMac = "00:1E:C0:00:00:01";
// The daemon names itself after the MAC address of "eth0", whatever machine this runs on.
const std::string ownAddress = "kip@" + readMacAddress();
// "program get" is left out: a good step pauses the worker for 3 seconds by design.
const std::vector<std::string> messageNames = {
    "system update", "spread get", "spread set", "spread update", "subsystem list get", "subsystem get",
    "partition list get", "mnemonics get", "partition get", "device get"};

struct Harness {
    SilentConfDaemon daemon;
    NetManager netManager;

    Harness() { netManager.connect(daemon.context(), "127.0.0.1", daemon.mainPort(), daemon.directPort()); }

    void seedSystem()
    {
        SystemTree& tree = netManager.tree();
        tree.put("corvanet.type", "corvanet");
        tree.put("corvanet.ip_settings.mac_address", ownMac);
        tree.put("corvanet.ip_settings.ip_address", "192.168.0.10");
        tree.put("corvanet.ip_settings.hostname", "kbox1");
        tree.put("system.name", "kbox1");
        tree.put("system.description", "Corvanet Configurator System");
        tree.put("system.subsystems.1.router1", "192.168.0.20:4381");
        tree.put("system.subsystems.1.routers.1.partitions.0.levelno", "1");
        tree.put("system.levels.1.subsystem", "1");
        tree.put("devices.00:1E:C0:00:00:02.type", "tessora");
        tree.put("devices.00:1E:C0:00:00:02.ip_settings.ip_address", "192.168.0.20");
    }
};

Harness& harness()
{
    static Harness* instance = new Harness();  // lives for the fuzzing process
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string& name = messageNames[data[0] % messageNames.size()];
    std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string message =
        "to=" + ownAddress + "\nfrom=corvanet@00:1E:C0:00:00:09\nmsg=" + name + "\n" + body + std::string(1, '\0');
    Harness& h = harness();
    onWorker([&] {
        h.netManager.forgetSystem();
        h.seedSystem();
        ConfClientProtocol* protocol = h.netManager.confClientProtocol();
        protocol->handleData(message, nullptr);
    });
    return 0;
}
