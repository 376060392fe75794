#pragma once

#include "model/SystemTree.h"

#include <string>

// The Spread configuration text of a system: one network segment (the box's broadcast
// address, port 2836) listing the member hosts.

// Builds the text for a box that creates a new system, from "corvanet.ip_settings".
std::string makeSpreadFile(const SystemTree& tree);

// Stores `text` as "system.spread.file" and derives "system.spread.hosts" (one entry per
// host line: name, then address) and "system.spread.no_of_hosts" from it. Host entries
// already in the tree are kept.
void parseSpreadFile(SystemTree& tree, const std::string& text);
