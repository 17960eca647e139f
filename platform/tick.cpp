#include "platform/tick.h"

#include <chrono>
#include <thread>

namespace platform {

uint32_t TickCount() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

uint32_t TickSpan(uint32_t oldTick, uint32_t newTick) {
    if (newTick >= oldTick) return newTick - oldTick;
    // A counter that went from the upper half to the lower half has wrapped.
    if (oldTick >= 0x80000000u && newTick < 0x80000000u) return newTick - oldTick;
    return oldTick - newTick;
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace platform
