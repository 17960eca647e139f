// When the relay core takes in its finished deliveries. A pass redraws the lists, the
// counters and the status and starts a sound, so under load one pass per kOutcomePace takes
// in all that finished meanwhile; and while clients are being answered (a command delay began
// less than `busySpan` ago) a pass waits for the next delay to begin, at most `quietWait`: a
// pass of a few milliseconds between a reply and the client's next command held that client
// up. Unhurried outcomes are still reported at once.
//
// Runs on the core's thread; its timers and posts go to the core's hidden window, whose
// messages the core hands to HandleMessage. It owns nothing but its timing: the pass itself
// is `report`, and it never waits forever for a timer it could not get.
#pragma once

#include "platform/message_loop.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace app {

class OutcomePacer {
  public:
    static constexpr auto kOutcomePace = std::chrono::milliseconds(50);

    OutcomePacer(std::chrono::milliseconds busySpan, std::chrono::milliseconds quietWait,
                 std::function<void()> report)
        : busySpan_(busySpan), quietWait_(quietWait), report_(std::move(report)) {}

    // The window its timers and posts go to; before any other call.
    void Bind(platform::WindowHandle window) { window_ = window; }
    // What a worker posts to the window when it queued the first outcome of a batch; the
    // pass then runs now, or once the pace and the clients allow.
    static constexpr uint32_t kOutcomesQueued = platform::kWmUser + 100;
    // A command delay has begun (the server's event): a waiting pass runs at this loop pass's
    // end, after the session's work in it.
    void CommandDelayBegun();
    // One of the window's messages; true when it was the pacer's.
    bool HandleMessage(const platform::Message& message);

  private:
    static constexpr uint32_t kQuietNow = platform::kWmUser + 102;
    static constexpr uintptr_t kPaceTimer = 1;
    static constexpr uintptr_t kQuietWaitTimer = 3;

    void OutcomesQueued();
    void ReportWhenQuiet(std::chrono::steady_clock::time_point now);
    void ReportNow();

    std::chrono::milliseconds busySpan_, quietWait_;
    std::function<void()> report_;
    platform::WindowHandle window_ = 0;
    std::chrono::steady_clock::time_point lastReport_{};
    std::chrono::steady_clock::time_point lastDelayBegun_{};
    bool paceTimerSet_ = false;
    // A pass waiting for a command delay to begin, then posted to the end of the pass in
    // which one began.
    enum class Quiet { None, Waiting, Posted } quiet_ = Quiet::None;
};

} // namespace app
