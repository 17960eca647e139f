// The millisecond clock and the sleep the upper layers time their waits with.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds of a monotonic clock, wrapping at 2^32 like the Windows tick count.
uint32_t TickCount();
// Elapsed milliseconds from `oldTick` to `newTick`, allowing for one wrap of the counter.
uint32_t TickSpan(uint32_t oldTick, uint32_t newTick);

void SleepMs(uint32_t ms);

} // namespace platform
