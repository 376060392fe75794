#pragma once

#include <chrono>
#include <cstddef>

// The bounds on what the daemon holds for its peers and reads from them (docs/robustness.md says
// why these values). Four kinds live elsewhere: the log record's sizes in log/Log.cpp, since
// log/ includes no other folder; the bounds of the wire that kipctl and kip-web share, a
// message's length without its NUL (wire/NulFramer.h) and the JSON nesting (wire/JsonNesting.h);
// kip-web's bounds in tools/kip-web/Bounds.h, another program; and the worker's deliberate
// waits, which bound nothing, where they are made. The command queue has no bound of its own:
// these bound what the client connections may put into it, while the configuration-daemon links
// put in whatever the daemon sends.
namespace flowlimits {

constexpr std::size_t KiB = 1024;
constexpr std::size_t MiB = 1024 * KiB;

// A link reads at most this much at a time.
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

// A client that leaves its answers unread is disconnected: when more than the soft limit waits
// and it has read none of it for the soft time, or more than the hard limit for the hard time.
// A client that reads is never disconnected, however far one request's burst of answers puts it
// behind; held-back requests keep a client that does not read near the high mark.
constexpr std::size_t unreadHardLimit = 1 * MiB;
constexpr std::size_t unreadSoftLimit = connectionHighMark;
constexpr std::chrono::seconds unreadSoftTime{30};
constexpr std::chrono::seconds unreadHardTime{5};

// Unfinished requests (no NUL yet) over all client connections: above this, a client whose
// unfinished request is more than its share of it (this over the number of clients) is
// disconnected, since a request may take up to a mebibyte and many of them would not fit.
constexpr std::size_t unfinishedRequestsBudget = 8 * MiB;

// A connection's reads are handed to the worker one queue entry each, as they come, while its
// requests waiting in the command queue stay within its share of this (the budget over the
// number of clients); beyond, its reads wait in its inbox and the worker takes them one request
// per turn, the first at the place of the read that went beyond. 300 clients flooding at once
// share some 200 bytes each, a few short requests: they are served by turns, so another client's
// request waits behind some 300 requests, not behind 600,000.
constexpr std::size_t queuedRequestsBudget = 64 * KiB;

// The worker's time a held connection may take per turn: a request that took longer is paid back
// by skipping turns, so that the crowd's turns between two requests of another client add up to
// about this much each, whatever the crowd asks for (a listing takes a hundred times a question).
constexpr std::chrono::microseconds turnAllowance{50};
// Connections held one after another start 0, 1, ... up to this less one turns behind, so that a
// crowd held at once does not take its first, full-cost turns in the same round. Turns are paid
// back only while at least this many entries wait for the worker: a crowd; with fewer, the empty
// turns would only make a slow worker (the sanitizers') slower.
constexpr unsigned heldCrowdSpread = 8;

// A configuration-daemon link holding more unsent bytes than this is backed up until it is down
// to the low mark: meanwhile the client connections whose last request sent to it have their
// requests held back. Nothing else waits for it; the links themselves read and deliver on.
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
