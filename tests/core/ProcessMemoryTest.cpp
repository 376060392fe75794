#include "core/ProcessMemory.h"

#include <gtest/gtest.h>

#include <boost/optional/optional_io.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(ProcessMemory, ReadsResidentMemoryAndTheCgroupsBoundsWhereTheyAreNumbers)
{
    char folderTemplate[] = "/tmp/kipd-memory-XXXXXX";
    const fs::path root = ::mkdtemp(folderTemplate);
    fs::create_directories(root / "proc/self");
    fs::create_directories(root / "cgroup/system.slice/kipd.service");
    std::ofstream(root / "proc/self/status") << "Name:\tkipd\nVmHWM:\t  9000 kB\nVmRSS:\t  4460 kB\n";
    std::ofstream(root / "proc/self/cgroup") << "0::/system.slice/kipd.service\n";
    std::ofstream(root / "cgroup/system.slice/kipd.service/memory.max") << "67108864\n";
    std::ofstream(root / "cgroup/system.slice/kipd.service/memory.high") << "max\n";

    ProcessMemory memory = ProcessMemory::read(root / "proc", root / "cgroup");
    EXPECT_EQ(memory.residentBytes, boost::optional<std::uint64_t>(4460 * 1024));
    EXPECT_EQ(memory.limitBytes, boost::optional<std::uint64_t>(67108864));
    EXPECT_EQ(memory.highBytes, boost::none);

    fs::remove(root / "proc/self/cgroup");
    EXPECT_EQ(ProcessMemory::read(root / "proc", root / "cgroup").limitBytes, boost::none);
    // The real process: its resident memory at least.
    EXPECT_GT(ProcessMemory::read().residentBytes.value_or(0), 0u);
    fs::remove_all(root);
}
