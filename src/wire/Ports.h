#pragma once

// The system's fixed TCP ports.
namespace kipport {

constexpr int host = 3971;                // configuration clients, host protocol
constexpr int confDaemon = 3972;          // the configuration daemon's main link
constexpr int confDaemonDirect = 3973;    // and its direct link

}  // namespace kipport
