#include "platform/timer_queue.h"

#include <algorithm>

namespace platform {

void TimerQueue::Unschedule(const Name& name, const Timer& timer) {
    byDue_.erase({timer.dueNs, timer.setting, name.first, name.second});
}

void TimerQueue::Set(Name name, int64_t dueNs, int64_t periodNs) {
    auto [it, fresh] = timers_.try_emplace(name);
    if (!fresh) Unschedule(name, it->second);
    it->second = Timer{dueNs, std::max<int64_t>(1, periodNs), ++lastSetting_};
    byDue_.emplace(dueNs, it->second.setting, name.first, name.second);
}

bool TimerQueue::Kill(Name name) {
    auto it = timers_.find(name);
    if (it == timers_.end()) return false;
    Unschedule(name, it->second);
    timers_.erase(it);
    return true;
}

void TimerQueue::KillWindow(uint64_t window) {
    auto it = timers_.lower_bound({window, 0});
    while (it != timers_.end() && it->first.first == window) {
        Unschedule(it->first, it->second);
        it = timers_.erase(it);
    }
}

std::optional<int64_t> TimerQueue::Earliest() const {
    if (byDue_.empty()) return std::nullopt;
    return std::get<0>(*byDue_.begin());
}

std::vector<TimerQueue::Due> TimerQueue::DueAt(int64_t nowNs) const {
    std::vector<Due> due;
    for (auto it = byDue_.begin(); it != byDue_.end() && std::get<0>(*it) <= nowNs; ++it)
        due.push_back(Due{{std::get<2>(*it), std::get<3>(*it)}, std::get<1>(*it)});
    return due;
}

bool TimerQueue::Advance(const Due& due, int64_t nowNs) {
    auto it = timers_.find(due.name);
    if (it == timers_.end() || it->second.setting != due.setting) return false;
    Timer& timer = it->second;
    Unschedule(due.name, timer);
    if (timer.dueNs <= nowNs)
        timer.dueNs += ((nowNs - timer.dueNs) / timer.periodNs + 1) * timer.periodNs;
    byDue_.emplace(timer.dueNs, timer.setting, due.name.first, due.name.second);
    return true;
}

} // namespace platform
