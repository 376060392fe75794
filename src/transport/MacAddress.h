#pragma once

#include <string>

// The interface the daemon names itself after: "eth0", or the one the environment variable
// KIPD_INTERFACE names (for a box whose interfaces the system renames).
std::string macInterfaceName();

// The hardware address of the named interface as six upper-case hex pairs joined by ":", or
// the empty text when it cannot be read. Never throws.
std::string readMacAddress(const std::string& interfaceName = macInterfaceName());
