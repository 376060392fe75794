#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

// The longest of the waits noted over the last minute, kept per second in 60 slots. One thread
// notes (the command worker), any thread reads; each slot is one atomic word (its second and its
// longest wait), so a reader never sees half a slot and nobody takes a lock.
class LongestWait {
public:
    using Clock = std::chrono::steady_clock;

    void note(Clock::time_point now, std::chrono::microseconds wait);
    // The longest wait noted in the minute up to `now`; zero when none was.
    std::chrono::microseconds longest(Clock::time_point now) const;

private:
    static constexpr std::uint64_t slotCount = 60;

    std::array<std::atomic<std::uint64_t>, slotCount> slots{};
};
