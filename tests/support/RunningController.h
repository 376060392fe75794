#pragma once

#include "core/KipController.h"
#include "support/LoopbackPeer.h"
#include "support/Wait.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// A whole controller listening on an ephemeral port, its event loop on a thread of its own; the
// configuration daemon it points at is absent. Clients must be gone before it ends: it waits for
// the controller to release their connections, stops the loop and runs every queued command.
class RunningController {
public:
    RunningController()
        : controller("127.0.0.1", 0, LoopbackPeer::unusedPort(), LoopbackPeer::unusedPort()), loop([this] {
              while (!stopping)
                  controller.runOnce();
          })
    {
    }
    ~RunningController()
    {
        // A connection left behind would outlive the network manager it points at.
        if (!waitUntil([this] { return connectionCount() == 0; }))
            ADD_FAILURE() << "client connections still open when the controller ends";
        stopping = true;
        controller.eventLoop().stop();
        loop.join();
        drainQueue();
    }

    int port() const { return controller.listeningPort(); }
    // Read on the worker thread, where the controller keeps its connections.
    std::size_t connectionCount()
    {
        return onWorker([this] { return controller.connectionCount(); });
    }

private:
    KipController controller;
    std::atomic<bool> stopping{false};
    std::thread loop;
};
