#pragma once

#include <string>

// The hardware address of the named interface as six upper-case hex pairs joined by ":", or
// the empty text when it cannot be read. Never throws.
std::string readMacAddress(const char* interfaceName = "eth0");
