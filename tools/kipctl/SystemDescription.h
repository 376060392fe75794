#pragma once

#include <optional>
#include <string>
#include <vector>

// A control system as kipctl keeps it in a file and finds it on the network.

struct IpSettings {
    std::string ipAddress;
    std::string subnetMask;
    std::string defaultGateway;
    std::string hostname;
};

struct Level {
    long number = 0;
    std::string name;
    std::string description;

    bool operator==(const Level& other) const
    {
        return number == other.number && name == other.name && description == other.description;
    }
};

// A Tessora router or panel: one that belongs to this box's system or to none.
struct TessoraDevice {
    std::string mac;
    std::string kind;  // "router" or "panel"
    IpSettings ip;
    bool inSystem = false;
    std::optional<Level> level;  // routers in the system only

    std::string label() const { return ip.hostname + " (" + mac + ")"; }
};

// Any other device the search found; listed so that the file shows the whole network.
struct OtherDevice {
    std::string mac;
    IpSettings ip;
};

struct ThisBox {
    std::string mac;
    IpSettings ip;
    std::string system;  // empty when the box has no system
};

struct SystemDescription {
    ThisBox box;
    std::vector<TessoraDevice> tessora;  // sorted by MAC
    std::vector<OtherDevice> others;     // sorted by MAC

    const TessoraDevice* find(const std::string& mac) const
    {
        for (const TessoraDevice& device : tessora)
            if (device.mac == mac)
                return &device;
        return nullptr;
    }
};
