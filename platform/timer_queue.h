// The timers of one message loop, ordered by when they fall due, so that a single timer
// descriptor armed for the earliest serves them all. Pure bookkeeping: no system calls.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace platform {

class TimerQueue {
  public:
    // A timer is named by its window and identifier.
    using Name = std::pair<uint64_t, uintptr_t>;
    // A timer taken as due, with the setting it was due under.
    struct Due {
        Name name;
        uint64_t setting;
    };

    // Sets a periodic timer first due at `dueNs` (CLOCK_MONOTONIC), then every `periodNs`
    // (at least 1); setting a timer that exists restarts it.
    void Set(Name name, int64_t dueNs, int64_t periodNs);
    // False when there was no such timer.
    bool Kill(Name name);
    void KillWindow(uint64_t window);

    std::optional<int64_t> Earliest() const;
    // The timers due at `nowNs`, earliest first.
    std::vector<Due> DueAt(int64_t nowNs) const;
    // Sets a timer taken as due for its next period beyond `nowNs` (periods missed meanwhile
    // make one expiry, not a burst of them); false, changing nothing, when it no longer
    // stands (killed or set anew since).
    bool Advance(const Due& due, int64_t nowNs);
    size_t Size() const { return timers_.size(); }

  private:
    struct Timer {
        int64_t dueNs;
        int64_t periodNs;
        uint64_t setting;
    };
    void Unschedule(const Name& name, const Timer& timer);

    std::map<Name, Timer> timers_;
    // (due, setting, window, identifier): the setting orders timers due at the same moment
    // by when they were set.
    std::set<std::tuple<int64_t, uint64_t, uint64_t, uintptr_t>> byDue_;
    uint64_t lastSetting_ = 0;
};

} // namespace platform
