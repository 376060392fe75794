#pragma once

#include <cstddef>

// Raises the soft open-file limit of the process to its hard limit (keeping the soft one when
// that fails) and returns how many client connections fit in it beside the descriptors the
// daemon needs for itself.
std::size_t raiseFileLimitForConnections();
