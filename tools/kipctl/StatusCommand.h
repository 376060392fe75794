#pragma once

#include <chrono>
#include <string>

// `kipctl status`: kipd's status socket read once, printed as a summary or as it is.
namespace status {

// kipd answers, but a configuration-daemon link is down.
constexpr int linkDown = 5;
constexpr const char* defaultSocket = "/run/kipd/status";

struct StatusOptions {
    std::string socket;  // --status-socket; empty: $KIPD_STATUS_SOCKET, else defaultSocket
    bool json = false;
    bool history = false;
    std::chrono::milliseconds timeout{5000};
};

// The exit status: 0 both links up, linkDown, or the host protocol's 3 (no socket) and 4 (no
// answer in time).
int run(const StatusOptions& options);

}  // namespace status
