#pragma once

#include "core/KipController.h"
#include "support/Wait.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

// A port on 127.0.0.1 that nothing listens on (as far as the system can tell right now).
inline int unusedLoopbackPort()
{
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

// A whole controller listening on an ephemeral port, its event loop on a thread of its own.
// The configuration daemon it points at (two unused ports) is absent. Clients must be gone before it ends: it
// waits for the controller to release their connections, then stops the loop and lets every
// queued command run before the controller is destroyed.
class RunningController {
public:
    RunningController()
        : controller("127.0.0.1", 0, unusedLoopbackPort(), unusedLoopbackPort()), loop([this] {
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
