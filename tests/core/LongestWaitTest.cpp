#include "core/LongestWait.h"

#include <gtest/gtest.h>

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(LongestWait, IsTheLongestOfTheLastMinuteAndForgetsOlderOnes)
{
    LongestWait waits;
    const LongestWait::Clock::time_point start = LongestWait::Clock::time_point(seconds(1000));
    EXPECT_EQ(waits.longest(start), microseconds(0));

    waits.note(start, milliseconds(300));
    waits.note(start + milliseconds(500), milliseconds(200));  // same second, shorter: kept is 300
    waits.note(start + seconds(10), milliseconds(50));
    waits.note(start + seconds(59), milliseconds(80));
    EXPECT_EQ(waits.longest(start + seconds(59)), milliseconds(300));
    // A minute on, the first second has gone; the slot it used is taken by a new second.
    EXPECT_EQ(waits.longest(start + seconds(60)), milliseconds(80));
    waits.note(start + seconds(60), milliseconds(1));
    EXPECT_EQ(waits.longest(start + seconds(70)), milliseconds(80));
    EXPECT_EQ(waits.longest(start + seconds(119)), milliseconds(1));
    EXPECT_EQ(waits.longest(start + seconds(120)), microseconds(0));
    // A wait of hours counts as the longest a slot holds, some 71 minutes.
    waits.note(start + seconds(200), std::chrono::hours(3));
    EXPECT_GT(waits.longest(start + seconds(200)), std::chrono::minutes(71));
}
