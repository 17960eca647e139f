#include "store/retry_schedule.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace store {

namespace {
constexpr const char* kRecordMagic = "VANTRO-RETRY 1";

long long Seconds(WallClock::time_point when) {
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

std::optional<long long> Number(const std::string& text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) return std::nullopt;
    return value;
}
} // namespace

std::chrono::seconds RetryDelay(int attempts, double jitter) {
    long long delay = kFirstRetryDelay.count();
    for (int i = 1; i < attempts && delay < kLongestRetryDelay.count(); ++i) delay *= 2;
    delay = std::min<long long>(delay, kLongestRetryDelay.count());
    jitter = std::clamp(jitter, -1.0, 1.0);
    auto jittered =
        static_cast<long long>(static_cast<double>(delay) * (1.0 + kRetryJitter * jitter));
    return std::chrono::seconds(std::max<long long>(1, jittered));
}

RetryState AfterTemporaryFailure(RetryState state, WallClock::time_point now,
                                 const std::string& reason, bool sessionRefused, double jitter) {
    state.lastReason = reason;
    if (sessionRefused) {
        auto base = std::chrono::duration<double>(kSessionRefusedDelay);
        state.next = now + std::chrono::duration_cast<WallClock::duration>(
                               base * (1.0 + 0.5 * std::clamp(jitter, -1.0, 1.0)));
        return state;
    }
    // A first attempt "in the future" is a clock that went back: the lifetime counts from now.
    if (state.attempts == 0 || state.first > now) state.first = now;
    ++state.attempts;
    state.next = now + RetryDelay(state.attempts, jitter);
    return state;
}

bool LifetimeEnded(const RetryState& state, WallClock::time_point now,
                   std::chrono::hours lifetime) {
    return state.attempts > 0 && now - state.first >= lifetime;
}

bool RetryDue(const RetryState& state, WallClock::time_point now) {
    return state.next <= now || state.next - now > kLatestRetryDelay;
}

RetryState ScheduleWithoutRecord(WallClock::time_point received, WallClock::time_point now,
                                 const std::string& reason) {
    RetryState state;
    state.first = std::min(received, now);
    state.next = now;
    state.lastReason = reason;
    state.attempts = 1;
    // Each later attempt came one delay (without its jitter) after the one before.
    auto at = state.first;
    while (state.attempts < 1000000) {
        at += RetryDelay(state.attempts, 0);
        if (at > now) break;
        ++state.attempts;
    }
    return state;
}

std::string FormatRetryRecord(const RetryState& state) {
    // The reason is a peer's bytes: a line end in it would start a field of its own.
    std::string reason = state.lastReason;
    std::replace(reason.begin(), reason.end(), '\r', ' ');
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    return std::string(kRecordMagic) + "\r\nattempts=" + std::to_string(state.attempts) +
           "\r\nfirst=" + std::to_string(Seconds(state.first)) +
           "\r\nnext=" + std::to_string(Seconds(state.next)) + "\r\nreason=" + reason +
           "\r\nend\r\n";
}

std::optional<RetryState> ParseRetryRecord(const std::string& text) {
    RetryState state;
    bool haveAttempts = false, haveFirst = false, haveNext = false, haveReason = false;
    size_t at = 0;
    bool magic = false, ended = false;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) return std::nullopt; // cut off inside a line
        std::string line = text.substr(at, end - at);
        at = end + 2;
        if (!magic) {
            if (line != kRecordMagic) return std::nullopt;
            magic = true;
            continue;
        }
        if (line == "end") {
            ended = true;
            break;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) return std::nullopt;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "reason") {
            state.lastReason = value;
            haveReason = true;
            continue;
        }
        auto number = Number(value);
        if (!number) return std::nullopt;
        if (key == "attempts" && *number < 1000000) {
            state.attempts = static_cast<int>(*number);
            haveAttempts = true;
        } else if (key == "first") {
            state.first = WallClock::time_point(std::chrono::seconds(*number));
            haveFirst = true;
        } else if (key == "next") {
            state.next = WallClock::time_point(std::chrono::seconds(*number));
            haveNext = true;
        } else {
            return std::nullopt;
        }
    }
    // The closing line tells a whole record from one a crash cut after a whole line.
    if (!ended || !haveAttempts || !haveFirst || !haveNext || !haveReason) return std::nullopt;
    return state;
}

std::string LocalTimeText(WallClock::time_point when) {
    std::time_t seconds = WallClock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace store
