#include "core/LongestWait.h"

#include <algorithm>

namespace {
// A slot holds its second (counted from 1, so that an empty slot is second 0) in the upper half
// and the wait in microseconds, up to about 71 minutes, in the lower half.
constexpr std::uint64_t waitBits = 32;
constexpr std::uint64_t waitMask = (std::uint64_t(1) << waitBits) - 1;

std::uint64_t secondOf(LongestWait::Clock::time_point time)
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count()) + 1;
}
}  // namespace

void LongestWait::note(Clock::time_point now, std::chrono::microseconds wait)
{
    const std::uint64_t second = secondOf(now);
    const std::uint64_t micros = std::min<std::uint64_t>(std::max<std::int64_t>(wait.count(), 0), waitMask);
    std::atomic<std::uint64_t>& slot = slots[second % slotCount];
    const std::uint64_t held = slot.load(std::memory_order_relaxed);
    if (held >> waitBits == second && (held & waitMask) >= micros)
        return;
    slot.store(second << waitBits | micros, std::memory_order_relaxed);
}

std::chrono::microseconds LongestWait::longest(Clock::time_point now) const
{
    const std::uint64_t second = secondOf(now);
    std::uint64_t longest = 0;
    for (const std::atomic<std::uint64_t>& slot : slots) {
        const std::uint64_t held = slot.load(std::memory_order_relaxed);
        const std::uint64_t slotSecond = held >> waitBits;
        if (slotSecond != 0 && slotSecond <= second && second - slotSecond < slotCount)
            longest = std::max(longest, held & waitMask);
    }
    return std::chrono::microseconds(longest);
}
