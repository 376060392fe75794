#pragma once

#include <boost/optional.hpp>

#include <cstdint>
#include <string>

// The process's resident memory and its cgroup's memory bounds (cgroup v2), read from the files
// under the two roots; each is none where it cannot be read, a bound also where it is "max".
struct ProcessMemory {
    boost::optional<std::uint64_t> residentBytes;
    boost::optional<std::uint64_t> limitBytes;  // memory.max
    boost::optional<std::uint64_t> highBytes;   // memory.high

    static ProcessMemory read(const std::string& procRoot = "/proc", const std::string& cgroupRoot = "/sys/fs/cgroup");
};
