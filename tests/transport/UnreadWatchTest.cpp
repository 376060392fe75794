#include "transport/UnreadWatch.h"

#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {
const UnreadLimits limits{1000, 100, 30s, 5s};
const UnreadWatch::Clock::time_point start{};
}  // namespace

// Only a client that reads none of its answers for a while is past a limit: above the soft
// limit for the soft time, past the hard one for the hard time. Reading, however slowly, starts
// the clock again, and so does a queue that was empty.
TEST(UnreadWatch, OnlyAClientThatStopsReadingIsPastALimit)
{
    UnreadWatch watch(limits);
    watch.waiting(100, start);
    EXPECT_FALSE(watch.deadline());
    watch.waiting(101, start + 10s);
    EXPECT_TRUE(watch.deadline() == start + 30s);
    EXPECT_FALSE(watch.breach(start + 29s));
    EXPECT_EQ(watch.breach(start + 30s), std::string("more than 100 bytes of answers unread for 30000 ms"));

    watch.drained(start + 29s);
    watch.waiting(1001, start + 29s);
    EXPECT_TRUE(watch.deadline() == start + 34s);
    EXPECT_EQ(watch.breach(start + 34s), std::string("more than 1000 bytes of answers unread for 5000 ms"));
    for (int second = 30; second < 600; second += 4) {  // a burst read slowly but steadily
        watch.drained(start + std::chrono::seconds(second));
        EXPECT_FALSE(watch.breach(start + std::chrono::seconds(second + 4))) << second;
    }

    watch.waiting(0, start + 700s);
    watch.waiting(5000, start + 800s);
    EXPECT_FALSE(watch.breach(start + 804s));
    EXPECT_TRUE(watch.breach(start + 805s));
}
