#include "core/ProcessMemory.h"

#include <fstream>
#include <sstream>

namespace {
boost::optional<std::uint64_t> wholeNumber(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19)
        return boost::none;
    return std::stoull(text);
}

// "VmRSS:     4460 kB" in the process's status file.
boost::optional<std::uint64_t> readResident(const std::string& procRoot)
{
    std::ifstream status(procRoot + "/self/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string name, amount, unit;
        if (fields >> name >> amount >> unit && name == "VmRSS:" && unit == "kB")
            if (boost::optional<std::uint64_t> kib = wholeNumber(amount))
                return *kib * 1024;
    }
    return boost::none;
}

// The unified hierarchy's line "0::/system.slice/kipd.service" of the process's cgroup file.
boost::optional<std::string> cgroupPath(const std::string& procRoot)
{
    std::ifstream cgroups(procRoot + "/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line))
        if (line.compare(0, 3, "0::") == 0)
            return line.substr(3);
    return boost::none;
}

boost::optional<std::uint64_t> bound(const std::string& file)
{
    std::ifstream input(file);
    std::string text;
    if (!(input >> text))
        return boost::none;
    return wholeNumber(text);  // "max" is none
}
}  // namespace

ProcessMemory ProcessMemory::read(const std::string& procRoot, const std::string& cgroupRoot)
{
    ProcessMemory memory;
    memory.residentBytes = readResident(procRoot);
    if (boost::optional<std::string> path = cgroupPath(procRoot)) {
        const std::string folder = cgroupRoot + (*path == "/" ? std::string() : *path);
        memory.limitBytes = bound(folder + "/memory.max");
        memory.highBytes = bound(folder + "/memory.high");
    }
    return memory;
}
