#pragma once

#include "SilentConfDaemon.h"
#include "support/WorkerQueue.h"

#include "model/NetManager.h"

#include <chrono>

// The network manager of a daemon whose configuration daemon accepts everything and answers
// nothing, with a tree that holds a system of one router. Lives for the fuzzing process.
struct FuzzHarness {
    static constexpr const char* ownMac = "00:1E:C0:00:00:01";
    static constexpr const char* routerMac = "00:1E:C0:00:00:02";

    SilentConfDaemon daemon;
    NetManager netManager;

    FuzzHarness()
    {
        netManager.setOwnChangeDelays(std::chrono::milliseconds(0), std::chrono::milliseconds(0));
        netManager.connect(daemon.context(), "127.0.0.1", daemon.mainPort(), daemon.directPort());
    }

    // Forgets what the last input left and puts the system back; run on the worker.
    void resetSystem()
    {
        netManager.forgetSystem();
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
        tree.put(std::string("devices.") + routerMac + ".type", "tessora");
        tree.put(std::string("devices.") + routerMac + ".ip_settings.ip_address", "192.168.0.20");
    }

    static FuzzHarness& instance()
    {
        static FuzzHarness* harness = new FuzzHarness();
        return *harness;
    }
};
