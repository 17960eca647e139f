// When a message that failed for now is tried again, and when it has waited long enough: the
// relay's schedule for temporary failures (a 4xx reply, a network failure), as a mail server
// queues them (RFC 5321 4.5.4.1), and the record of it kept beside the message in the spool
// so that a restart or a crash resumes the same schedule.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

namespace store {

using WallClock = std::chrono::system_clock;

// The first retry comes this long after the first failure, each later one twice as long after
// the one before (give or take the jitter), never more than the longest wait apart.
inline constexpr std::chrono::seconds kFirstRetryDelay{60};
inline constexpr std::chrono::seconds kLongestRetryDelay{3600};
// A fraction of the delay added or taken away at random: messages deferred together (a burst
// refused by a restarting upstream) do not come back together.
inline constexpr double kRetryJitter = 0.1;
// The latest a retry is ever put: the longest wait with all of its jitter. A next attempt
// further ahead can only be a clock that went back.
inline constexpr std::chrono::seconds kLatestRetryDelay{
    static_cast<long long>(kLongestRetryDelay.count() * (1.0 + kRetryJitter))};
// A new session refused by an upstream that already has others open (its session cap): the
// message is tried again this soon, give or take half of it, as sessions come free.
inline constexpr std::chrono::seconds kSessionRefusedDelay{3};

// A message's retries so far. Times are the wall clock's (they outlive the process).
struct RetryState {
    int attempts = 0;            // attempts that failed and counted
    WallClock::time_point first; // the first attempt that counted
    WallClock::time_point next;  // when the next attempt is due
    std::string lastReason;      // why the last attempt failed
    bool operator==(const RetryState&) const = default;
};

// The delay before attempt `attempts` + 1, after `attempts` (1 or more) counted failures;
// `jitter` in [-1, 1] picks where within the jitter it falls.
std::chrono::seconds RetryDelay(int attempts, double jitter);

// A temporary failure at `now`: the state after it, with its next attempt due. A session
// refused while others to the same upstream are open does not count: neither an attempt nor
// the start of the lifetime, and it comes back within seconds.
RetryState AfterTemporaryFailure(RetryState state, WallClock::time_point now,
                                 const std::string& reason, bool sessionRefused, double jitter);

// Whether a message with `state` has waited its lifetime out at `now` (counted from its
// first counted attempt).
bool LifetimeEnded(const RetryState& state, WallClock::time_point now, std::chrono::hours lifetime);

// When an entry is due at `now`, whatever the clock did meanwhile. A next attempt further
// ahead than kLatestRetryDelay can only come from a clock that went back since it was set:
// such a message is due now instead of waiting for the clock to come back round.
bool RetryDue(const RetryState& state, WallClock::time_point now);

// The schedule of a message whose retry record could not be read, from when it was accepted:
// due now, its lifetime counted from then, and as many attempts counted as the schedule
// would have made since (at least the one that wrote the record), so that neither the
// lifetime nor the backoff starts over.
RetryState ScheduleWithoutRecord(WallClock::time_point received, WallClock::time_point now,
                                 const std::string& reason);

// The record kept beside the message: a few "key=value" CR LF lines (GBK bytes as they came).
std::string FormatRetryRecord(const RetryState& state);
// Nothing when the text is no whole record (cut off, garbled, from another version): the
// caller retries the message at once and writes its record anew.
std::optional<RetryState> ParseRetryRecord(const std::string& text);

// "yyyy-mm-dd HH:MM:SS" in local time, as the journal writes times.
std::string LocalTimeText(WallClock::time_point when);

} // namespace store
