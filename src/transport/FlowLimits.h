#pragma once

#include <cstddef>

// Every bound on what the daemon holds for its peers, in one place (docs/robustness.md says
// why these values).
namespace flowlimits {

constexpr std::size_t KiB = 1024;
constexpr std::size_t MiB = 1024 * KiB;

// A client connection is not read while its requests waiting for the worker and its answers
// not yet written exceed the high mark, and is read again below the low mark. The high mark is
// also what another client's request may wait behind a flooder: some 2,000 short requests.
constexpr std::size_t connectionHighMark = 64 * KiB;
constexpr std::size_t connectionLowMark = 32 * KiB;

// Above this, over all client connections together, no client connection is read.
constexpr std::size_t hostHighMark = 16 * MiB;
constexpr std::size_t hostLowMark = 8 * MiB;

// A configuration-daemon link holding more unsent bytes than this stops the reading of every
// client connection until it is down to the low mark.
constexpr std::size_t confLinkHighMark = 1 * MiB;
constexpr std::size_t confLinkLowMark = 512 * KiB;

// Descriptors kept free of client connections: the listener, the two configuration-daemon
// links, the log channel, the standard streams, the event loop's own and a margin.
constexpr std::size_t descriptorReserve = 16;

}  // namespace flowlimits
