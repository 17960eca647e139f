// Time and threads as the upper layers expect them from the platform.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Milliseconds of a monotonic clock, wrapping at 2^32 like the Windows tick count.
uint32_t TickCount();
// Elapsed milliseconds from `oldTick` to `newTick`, allowing for one wrap of the counter.
uint32_t TickSpan(uint32_t oldTick, uint32_t newTick);

void SleepMs(uint32_t ms);

// Runs `body` on a new thread that nobody joins; the thread's resources are released when
// `body` returns. Exceptions escaping `body` are caught and dropped there, since there is
// no caller left to take them. Throws std::system_error when no thread can be started.
void StartDetachedThread(std::function<void()> body);

} // namespace platform
