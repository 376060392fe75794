// Feeds arbitrary "system" texts of a Tessora device through the "device get" reply handler and
// checks the router and panel description written into the tree against the text.
#include "FuzzHarness.h"

#include "confclient/ConfClientProtocol.h"
#include "transport/MacAddress.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

const std::string ownAddress = "kip@" + readMacAddress();
const std::string deviceMac = "00:1E:C0:00:00:42";

int occurrences(const std::string& text, const std::string& token)
{
    int count = 0;
    for (auto hit = text.find(token); hit != std::string::npos; hit = text.find(token, hit + token.size()))
        ++count;
    return count;
}

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string system(reinterpret_cast<const char*>(data), size);
    // One line of the message: no line breaks, no NUL.
    std::replace_if(system.begin(), system.end(), [](char c) { return c == '\n' || c == '\r' || c == '\0'; }, ' ');
    const std::string message = "to=" + ownAddress + "\nfrom=tessora@" + deviceMac +
                                "\nmsg=device get\nip=192.168.0.42\nnetmask=255.255.255.0\ngateway=192.168.0.1\n"
                                "hostname=tr-fuzz\nversion=3.2.1\nsystem=" + system + "\n" + std::string(1, '\0');
    FuzzHarness& h = FuzzHarness::instance();
    onWorker([&] {
        h.resetSystem();
        h.netManager.confClientProtocol()->handleData(message, nullptr);
        const SystemTree::Tree* entry = h.netManager.tree().findChild("devices." + deviceMac);
        check(entry != nullptr);
        check(entry->get_optional<std::string>("type").value_or("") == "tessora");
        const bool router = system.find("r_") != std::string::npos;
        check(static_cast<bool>(entry->get_child_optional("router")) == router);
        const int panels = occurrences(system, "kpblock");
        check(entry->get<int>("panel.buttons", 0) == 40 * panels);
        const int rackUnits = entry->get<int>("rack_unit_size", -1);
        if (panels > 0)
            check(rackUnits == panels);
        else if (!router)
            check(rackUnits == 0);
    });
    return 0;
}
