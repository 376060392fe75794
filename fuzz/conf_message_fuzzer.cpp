// Feeds arbitrary configuration-daemon texts through the whole receiving path: NUL framing,
// INI reading with duplicate-key numbering, dispatch, and every reply handler, against a tree
// that holds a system. The input is addressed to the daemon with a chosen message name.
#include "FuzzHarness.h"

#include "confclient/ConfClientProtocol.h"
#include "transport/MacAddress.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// The daemon names itself after the MAC address of "eth0", whatever machine this runs on.
const std::string ownAddress = "kip@" + readMacAddress();
// "program get" is left out: a good step pauses the worker for 3 seconds by design.
const std::vector<std::string> messageNames = {
    "system update", "spread get", "spread set", "spread update", "subsystem list get", "subsystem get",
    "partition list get", "mnemonics get", "partition get", "device get"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string& name = messageNames[data[0] % messageNames.size()];
    std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string message =
        "to=" + ownAddress + "\nfrom=corvanet@00:1E:C0:00:00:09\nmsg=" + name + "\n" + body + std::string(1, '\0');
    FuzzHarness& h = FuzzHarness::instance();
    onWorker([&] {
        h.resetSystem();
        h.netManager.confClientProtocol()->handleData(message, nullptr);
    });
    return 0;
}
