#pragma once

#include "confclient/ConfClientProtocol.h"
#include "model/NetManager.h"
#include "support/EventLoopThread.h"
#include "support/SimulatorProcess.h"
#include "support/Wait.h"
#include "support/WorkerQueue.h"

#include <string>
#include <vector>

// A network manager connected over both links to the simulator holding `network`, with the
// event loop on a thread of its own.
struct SimulatedNetwork {
    explicit SimulatedNetwork(const std::string& network, const std::vector<std::string>& faults = {})
        : sim(network, faults)
    {
        netManager.connect(loop.io(), "127.0.0.1", sim.mainPort(), sim.directPort());
        connected = waitUntil([&] { return connections() == 2; });
    }
    ~SimulatedNetwork() { drainQueue(); }

    int connections() const
    {
        int count = 0;
        for (const auto& entry : sim.logEntries())
            count += entry.get<std::string>("dir", "") == "connect";
        return count;
    }
    // Runs `work` with the protocol on the worker thread, as the daemon runs it.
    template <class Work>
    void withProtocol(Work work)
    {
        onWorker([&] {
            work(*netManager.confClientProtocol());
            return true;
        });
    }

    SimulatorProcess sim;
    EventLoopThread loop;
    NetManager netManager;
    bool connected = false;
};
