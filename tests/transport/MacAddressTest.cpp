#include "transport/MacAddress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <net/if.h>
#include <stdlib.h>

TEST(MacAddress, FormatsSixUpperCasePairsOrNothing)
{
    EXPECT_EQ(readMacAddress("lo"), "00:00:00:00:00:00");
    EXPECT_EQ(readMacAddress("no-such-if0"), "");
    // The kernel's own text of "eth0" (none where the machine has no "eth0"), in upper case.
    std::ifstream sysfs("/sys/class/net/eth0/address");
    std::string expected;
    std::getline(sysfs, expected);
    std::transform(expected.begin(), expected.end(), expected.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_EQ(readMacAddress(), expected);
    EXPECT_EQ(readMacAddress("eth0" + std::string(IFNAMSIZ, 'x')), "");
    ::setenv("KIPD_INTERFACE", "lo", 1);
    EXPECT_EQ(readMacAddress(), "00:00:00:00:00:00");
    ::unsetenv("KIPD_INTERFACE");
}
