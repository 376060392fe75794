#include "transport/MacAddress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

TEST(MacAddress, FormatsSixUpperCasePairsOrNothing)
{
    EXPECT_EQ(readMacAddress("lo"), "00:00:00:00:00:00");
    EXPECT_EQ(readMacAddress("no-such-if0"), "");

    // Where the machine has an "eth0", the kernel's own text is the same address in lower case.
    std::ifstream sysfs("/sys/class/net/eth0/address");
    std::string expected;
    if (std::getline(sysfs, expected)) {
        std::transform(expected.begin(), expected.end(), expected.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        EXPECT_EQ(readMacAddress(), expected);
    } else {
        EXPECT_EQ(readMacAddress(), "");
    }
}
