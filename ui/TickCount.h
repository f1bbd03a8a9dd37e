#pragma once

#include <cstdint>

// Milliseconds from a monotonic clock, truncated to 32 bits: wraps about every 49.7 days.
std::uint32_t GetTickCount();

// Milliseconds from start to now, correct across one wrap of the counter.
constexpr std::uint32_t TicksElapsed(std::uint32_t start, std::uint32_t now) { return now - start; }

// True when now is at or past deadline, comparing wrap-safely (deadlines within 2^31 ms).
constexpr bool TickReached(std::uint32_t now, std::uint32_t deadline) {
    return static_cast<std::int32_t>(now - deadline) >= 0;
}
