#pragma once

#include "Client.h"

#include <functional>
#include <set>
#include <string>

// A device search as kipd answers "get_devices": the search itself (unless no refresh is
// asked), then the devices kipd knows, which adds the controller boxes and cards that do not
// answer a search. Each device is reported once.
class DeviceSearch {
public:
    using Report = std::function<void(const std::string& type, const Tree& report)>;

    DeviceSearch(Client& client, Milliseconds quiet) : client(client), quiet(quiet) {}

    // Status ok, or errorReply once kipd's error reply is shown.
    int run(bool refresh, const Report& report);

    static bool isDeviceReport(const std::string& type);

private:
    int listReports(bool refresh, const Report& report);

    Client& client;
    Milliseconds quiet;
    std::set<std::string> listed;
};
