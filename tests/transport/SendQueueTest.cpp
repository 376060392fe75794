#include "transport/SendQueue.h"

#include <gtest/gtest.h>

namespace {
std::string textOf(const std::vector<boost::asio::const_buffer>& buffers)
{
    std::string text;
    for (const boost::asio::const_buffer& buffer : buffers)
        text.append(static_cast<const char*>(buffer.data()), buffer.size());
    return text;
}
}  // namespace

// A write carries what was queued when it started; texts queued meanwhile wait for the next one.
TEST(SendQueue, WritesInOrderAndCountsItsBytes)
{
    SendQueue queue;
    queue.push("one");
    queue.push("two");
    EXPECT_EQ(textOf(queue.startWrite()), "onetwo");
    queue.push("three");
    EXPECT_EQ(queue.bytes(), 11u);
    EXPECT_EQ(queue.completeWrite(), 6u);
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(textOf(queue.startWrite()), "three");
    queue.push("four");
    EXPECT_EQ(queue.clear(), 9u);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.bytes(), 0u);
}
