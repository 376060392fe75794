#pragma once

#include "Admission.h"
#include "BridgeSlots.h"

#include <memory>
#include <string>

// What every connection of one kip-web shares: who may use it, its bridge slots, where kipd is.
struct Site {
    Admission admission;
    std::shared_ptr<BridgeSlots> slots;
    std::string kipdHost;
};
