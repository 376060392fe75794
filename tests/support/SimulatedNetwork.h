#pragma once

#include "confclient/ConfClientProtocol.h"
#include "model/NetManager.h"
#include "support/EventLoopThread.h"
#include "support/SimulatorProcess.h"
#include "support/TreeText.h"
#include "support/Wait.h"
#include "support/WorkerQueue.h"

#include <string>
#include <vector>

// A network manager connected over both links to the simulator holding `network`, with the
// event loop on a thread of its own. Everything touching the manager runs on the worker.
struct SimulatedNetwork {
    explicit SimulatedNetwork(const std::string& network, const std::vector<std::string>& simulatorArgs = {})
        : sim(network, simulatorArgs)
    {
        netManager.connect(loop.io(), "127.0.0.1", sim.mainPort(), sim.directPort());
        // A first request on a link still connecting would forget the system and retry.
        connected = waitUntil([&] {
            return sim.count("dir", "connect") == 2 &&
                   netManager.confClientProtocol()->directInterface()->isConnected();
        });
    }
    // An own IP change queues two commands, one behind the other.
    ~SimulatedNetwork()
    {
        drainQueue(std::chrono::seconds(10));
        drainQueue(std::chrono::seconds(10));
    }

    // Runs `work` with the protocol on the worker thread, as the daemon runs it.
    template <class Work>
    void withProtocol(Work work)
    {
        onWorker([&] { work(*netManager.confClientProtocol()); });
    }
    // A value of the tree, read on the worker; "<none>" where there is none.
    std::string value(const std::string& path)
    {
        return onWorker([&] { return netManager.tree().getOr(path, "<none>"); });
    }
    // The leaves below `path` (see TreeText.h), read on the worker.
    std::string leavesOf(const std::string& path)
    {
        return onWorker([&] { return leaves(netManager.tree(), path); });
    }

    SimulatorProcess sim;
    EventLoopThread loop;
    NetManager netManager;
    bool connected = false;
};
