#pragma once

#include "wire/JsonNesting.h"
#include "wire/NulFramer.h"

#include <chrono>
#include <cstddef>

// Every limit of kip-web in one place. The message bound matches kipd's own input bound; the
// nesting bound is the one kipd and kipctl use too.
namespace bounds {

constexpr std::size_t maxMessage = NulFramer::pendingLimit;  // one request or answer, either side
constexpr std::size_t queueHighMark = 1 << 20;     // stop reading the side that fills a queue
// and read it again once a little has drained: kipd disconnects a client whose answers make no
// progress for seconds, so a slow browser must still be seen to read, a little at a time
constexpr std::size_t queueLowMark = queueHighMark - (64 << 10);
constexpr std::size_t maxJsonDepth = jsonNestingLimit;  // nesting of arrays and objects
constexpr std::size_t maxBridges = 64;             // browser WebSockets bridged at once
constexpr std::size_t maxBridgesPerClient = 8;     // of them from one client (all of loopback is one)
constexpr std::size_t bridgesForNewClients = 8;    // the last ones free go only to clients holding none
constexpr std::size_t maxConnections = 1024;       // browser connections at once, bridges' included
constexpr std::size_t maxConnectionsPerClient = 32;  // of them from one client, but the trusted proxy
constexpr std::size_t descriptorReserve = 32;      // descriptors left for the process itself
constexpr std::size_t maxThrottledClients = 4096;  // addresses remembered for their wrong tokens
constexpr std::size_t maxLoggedClients = 4096;     // addresses whose refusal was logged once
constexpr unsigned freeTokenFailures = 5;          // wrong tokens before a client must wait
constexpr std::size_t maxHttpBody = 64 << 10;      // a page request carries no real body
constexpr std::size_t kipdReadChunk = 64 << 10;
constexpr std::size_t maxStatus = 1 << 20;         // kipd's status report, some 10 KiB
constexpr std::size_t maxRecordedMac = 100;        // bytes of a change's MAC in its record, as kipd keeps it

constexpr std::chrono::seconds requestHead{10};   // from a connection's start or its last answer
constexpr std::chrono::seconds httpIdle{30};       // a request's body, an answer's write
constexpr std::chrono::seconds kipdConnect{5};
constexpr std::chrono::seconds browserIdle{60};    // pinged at half of it; a silent browser goes
constexpr std::chrono::milliseconds acceptRetry{200};
constexpr std::chrono::milliseconds longestQuiet{5000};  // a page's wait for quiet
constexpr std::chrono::seconds firstTokenWait{10};       // doubles with each further wrong token
constexpr std::chrono::seconds longestTokenWait{600};
constexpr std::chrono::seconds ownAddressesReread{1};    // at most this often for an unknown address
constexpr std::size_t maxCloseReason = 123;              // bytes, the WebSocket protocol's limit
constexpr std::chrono::seconds statusReadTime{1};        // for kipd's status socket to answer
constexpr std::chrono::seconds statusReuse{1};           // a status read serves every request this long

}  // namespace bounds
