#include "app/core/outcome_pacer.h"

#include <algorithm>

namespace app {

bool OutcomePacer::HandleMessage(const platform::Message& message) {
    auto& loop = platform::MessageLoop::Current();
    if (message.msg == kOutcomesQueued) {
        OutcomesQueued();
    } else if (message.msg == kQuietNow) {
        if (quiet_ == Quiet::Posted) ReportNow();
    } else if (message.msg == platform::kWmTimer && message.wParam == kQuietWaitTimer) {
        loop.KillTimer(window_, kQuietWaitTimer);
        if (quiet_ == Quiet::Waiting) ReportNow(); // waited long enough
    } else if (message.msg == platform::kWmTimer && message.wParam == kPaceTimer) {
        loop.KillTimer(window_, kPaceTimer);
        paceTimerSet_ = false;
        OutcomesQueued();
    } else {
        return false;
    }
    return true;
}

void OutcomePacer::OutcomesQueued() {
    auto now = std::chrono::steady_clock::now();
    auto since = now - lastReport_;
    if (since >= kOutcomePace) {
        ReportWhenQuiet(now);
        return;
    }
    if (paceTimerSet_) return; // the queue is taken in when the timer runs
    auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(kOutcomePace - since);
    paceTimerSet_ = platform::MessageLoop::Current().SetTimer(
        window_, kPaceTimer, static_cast<uint32_t>(std::max<long>(1, rest.count())));
    if (!paceTimerSet_) report_(); // no timer to be had: nothing may wait forever
}

void OutcomePacer::ReportWhenQuiet(std::chrono::steady_clock::time_point now) {
    if (quiet_ != Quiet::None) return; // a report is on its way
    if (now - lastDelayBegun_ >= busySpan_) return ReportNow();
    auto wait = static_cast<uint32_t>(std::max<long>(1, quietWait_.count()));
    if (!platform::MessageLoop::Current().SetTimer(window_, kQuietWaitTimer, wait))
        return ReportNow(); // no timer to be had: nothing may wait forever
    quiet_ = Quiet::Waiting;
}

void OutcomePacer::CommandDelayBegun() {
    lastDelayBegun_ = std::chrono::steady_clock::now();
    if (quiet_ != Quiet::Waiting) return;
    quiet_ = Quiet::Posted;
    platform::MessageLoop::Current().KillTimer(window_, kQuietWaitTimer);
    platform::MessageLoop::PostMessage(window_, kQuietNow, 0, 0);
}

void OutcomePacer::ReportNow() {
    quiet_ = Quiet::None;
    lastReport_ = std::chrono::steady_clock::now();
    report_();
}

} // namespace app
