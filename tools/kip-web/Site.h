#pragma once

#include "Admission.h"
#include "BridgeSlots.h"
#include "ClientKey.h"
#include "ConnectionCaps.h"
#include "StatusReader.h"
#include "WebCounters.h"

#include <memory>
#include <string>

// What every connection of one kip-web shares: who may use it, whom a request comes from, its
// connection caps and bridge slots, where kipd is and its status, what kip-web counts.
struct Site {
    Admission admission;
    ClientKeys keys;
    std::shared_ptr<ConnectionCaps> connections;
    std::shared_ptr<BridgeSlots> slots;
    std::string kipdHost;
    std::shared_ptr<StatusReader> kipdStatus;
    WebCounters counters;
};
