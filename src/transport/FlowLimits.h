#pragma once

#include <chrono>
#include <cstddef>

// The bounds on what the daemon holds for its peers and reads from them (docs/robustness.md says
// why these values). Four kinds live elsewhere: the log record's sizes in log/Log.cpp, since
// log/ includes no other folder; the bounds of the wire that kipctl and kip-web share, a
// message's length without its NUL (wire/NulFramer.h) and the JSON nesting (wire/JsonNesting.h);
// kip-web's bounds in tools/kip-web/Bounds.h, another program; and the worker's deliberate
// waits, which bound nothing, where they are made. The command queue has no bound of its own:
// these bound what the links may put into it.
namespace flowlimits {

constexpr std::size_t KiB = 1024;
constexpr std::size_t MiB = 1024 * KiB;

// A link reads at most this much at a time; each read becomes one delivery.
constexpr std::size_t readChunk = 1 * KiB;

// The traffic history of a link: its last entries, each cut to a length.
constexpr std::size_t commLogEntries = 20;
constexpr std::size_t commLogEntryLength = 100;

// Connections waiting to be accepted, in the kernel's backlog.
constexpr int listenBacklog = 128;

// A client connection is not read while its requests waiting for the worker and its answers
// not yet written exceed the high mark, and is read again below the low mark. The high mark is
// also what another client's request may wait behind a flooder: some 2,000 short requests.
constexpr std::size_t connectionHighMark = 64 * KiB;
constexpr std::size_t connectionLowMark = 32 * KiB;

// Above this, over all client connections together, the connections holding more than their
// share of it (the mark over the number of clients) are not read.
constexpr std::size_t hostHighMark = 16 * MiB;
constexpr std::size_t hostLowMark = 8 * MiB;

// A client whose answers stay unwritten (the client does not read them) is disconnected at once
// past the hard limit, and after the soft time spent above the soft limit. Held-back requests keep
// a client near the high mark, so only answers it did not ask for reach the hard limit.
constexpr std::size_t unreadHardLimit = 1 * MiB;
constexpr std::size_t unreadSoftLimit = connectionHighMark;
constexpr std::chrono::seconds unreadSoftTime{30};

// Unfinished requests (no NUL yet) over all client connections: above this, a client whose
// unfinished request is more than its share of it (this over the number of clients) is
// disconnected, since a request may take up to a mebibyte and many of them would not fit.
constexpr std::size_t unfinishedRequestsBudget = 8 * MiB;

// The worker takes client connections in turn, one request (up to its NUL, and at most this many
// bytes) each turn, so a request waits behind one request of each other client at most.
constexpr std::size_t turnLimit = 1 * KiB;

// A configuration-daemon link holding more unsent bytes than this stops the reading of every
// client connection until it is down to the low mark.
constexpr std::size_t confLinkHighMark = 1 * MiB;
constexpr std::size_t confLinkLowMark = 512 * KiB;

// The status socket serves this many connections at once (more wait in its backlog), and
// closes one that has not taken its report within the write time.
constexpr std::size_t statusConnections = 8;
constexpr std::chrono::seconds statusWriteTime{2};

// Descriptors kept free of client connections: the listener, the two configuration-daemon
// links, the log channel, the standard streams, the event loop's own and a margin.
constexpr std::size_t descriptorReserve = 16;
// The open-file limit is counted as at most this, however high it is set.
constexpr std::size_t descriptorCeiling = 1 << 20;

}  // namespace flowlimits
