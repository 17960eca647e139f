// The retry schedule of messages that failed for now: its delays and their jitter, the
// lifetime counted from the first counted failure, a clock that jumps, and the record kept
// beside the message.
#include "store/retry_schedule.h"

#include <gtest/gtest.h>
#include <string>

using namespace store;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

namespace {

TEST(RetrySchedule, DelaysDoubleFromAMinuteToAnHourWithinTheirJitter) {
    EXPECT_EQ(RetryDelay(1, 0), seconds(60));
    EXPECT_EQ(RetryDelay(2, 0), seconds(120));
    EXPECT_EQ(RetryDelay(3, 0), seconds(240));
    EXPECT_EQ(RetryDelay(7, 0), seconds(3600)); // 3,840 is over the longest wait
    EXPECT_EQ(RetryDelay(500, 0), seconds(3600));
    EXPECT_EQ(RetryDelay(1, 1), seconds(66));
    EXPECT_EQ(RetryDelay(1, -1), seconds(54));
    EXPECT_EQ(RetryDelay(500, 7), seconds(3960)); // a jitter out of range is taken as 1
}

TEST(RetrySchedule, OnlyCountedFailuresStartTheLifetimeAndAClockGoneBackIsNoStrand) {
    WallClock::time_point t0 = WallClock::now();
    RetryState first = AfterTemporaryFailure({}, t0, "451 greylisted", false, 0);
    EXPECT_EQ(first.attempts, 1);
    EXPECT_EQ(first.first, t0);
    EXPECT_EQ(first.next, t0 + seconds(60));
    EXPECT_EQ(first.lastReason, "451 greylisted");
    RetryState second = AfterTemporaryFailure(first, t0 + seconds(60), "421 busy", false, 0);
    EXPECT_EQ(second.attempts, 2);
    EXPECT_EQ(second.first, t0);
    EXPECT_EQ(second.next, t0 + seconds(180));
    // One session too many: no attempt counted, no lifetime started, back within seconds.
    RetryState refused = AfterTemporaryFailure({}, t0, "421 too many", true, 0);
    EXPECT_EQ(refused.attempts, 0);
    EXPECT_EQ(refused.next, t0 + seconds(3));
    EXPECT_FALSE(LifetimeEnded(refused, t0 + hours(1000), hours(1)));
    EXPECT_FALSE(LifetimeEnded(second, t0 + minutes(59), hours(1)));
    EXPECT_TRUE(LifetimeEnded(second, t0 + hours(1), hours(1)));
    // Its first attempt "in the future": the clock went back, the lifetime counts from now.
    RetryState back = AfterTemporaryFailure(second, t0 - hours(24), "x", false, 0);
    EXPECT_EQ(back.first, t0 - hours(24));
    EXPECT_EQ(back.attempts, 3);
    // Due at its time; and at once when its time is further ahead than any delay could put it.
    EXPECT_FALSE(RetryDue(second, t0 + seconds(179)));
    EXPECT_TRUE(RetryDue(second, t0 + seconds(180)));
    EXPECT_TRUE(RetryDue(second, t0 - hours(24)));
    EXPECT_FALSE(RetryDue(second, t0 - minutes(30)));
}

TEST(RetrySchedule, FortyAttemptsNeverComeEarlyAndAJitteredHourIsNoClockJump) {
    // Attempts 1 to 40 with the jitter at each end and in the middle: each retry is due at
    // its time and not a second before, however far the capped delay's jitter puts it.
    for (double jitter : {-1.0, 0.0, 1.0}) {
        WallClock::time_point now = WallClock::time_point(seconds(1765000000));
        RetryState state;
        for (int attempt = 1; attempt <= 40; ++attempt) {
            SCOPED_TRACE("attempt " + std::to_string(attempt) + " jitter " +
                         std::to_string(jitter));
            state = AfterTemporaryFailure(state, now, "451 later", false, jitter);
            long long base = std::min<long long>(60LL << std::min(attempt - 1, 20), 3600);
            auto delay = state.next - now;
            EXPECT_GE(delay, seconds(static_cast<long long>(base * 0.9)));
            EXPECT_LE(delay, seconds(static_cast<long long>(base * 1.1)));
            EXPECT_FALSE(RetryDue(state, now));
            EXPECT_FALSE(RetryDue(state, state.next - seconds(1)));
            EXPECT_TRUE(RetryDue(state, state.next));
            now = state.next;
        }
        EXPECT_EQ(state.attempts, 40);
    }
    // Further ahead than any jittered delay: only a clock gone back does that.
    RetryState ahead;
    WallClock::time_point t0 = WallClock::now();
    ahead.next = t0 + kLatestRetryDelay;
    EXPECT_FALSE(RetryDue(ahead, t0));
    ahead.next = t0 + kLatestRetryDelay + seconds(1);
    EXPECT_TRUE(RetryDue(ahead, t0));
}

TEST(RetrySchedule, AMessageWithoutItsRecordKeepsItsLifetimeAndItsBackoff) {
    WallClock::time_point received = WallClock::time_point(seconds(1765000000));
    // Accepted 10 minutes ago: attempts at 0, 60 s, 180 s and 420 s would have been made.
    RetryState state = ScheduleWithoutRecord(received, received + minutes(10), "unreadable");
    EXPECT_EQ(state.attempts, 4);
    EXPECT_EQ(state.first, received);
    EXPECT_EQ(state.next, received + minutes(10));
    EXPECT_EQ(state.lastReason, "unreadable");
    RetryState next = AfterTemporaryFailure(state, received + minutes(10), "451", false, 0);
    EXPECT_EQ(next.attempts, 5);
    EXPECT_EQ(next.next - (received + minutes(10)), seconds(960));
    EXPECT_TRUE(LifetimeEnded(ScheduleWithoutRecord(received, received + hours(121), "x"),
                              received + hours(121), hours(120)));
    // Just accepted (or a file time ahead of the clock): one attempt, counted from now.
    RetryState fresh = ScheduleWithoutRecord(received + seconds(5), received, "x");
    EXPECT_EQ(fresh.attempts, 1);
    EXPECT_EQ(fresh.first, received);
}

TEST(RetrySchedule, ARecordReadsBackAndACutOrGarbledOneIsNoRecord) {
    RetryState state;
    state.attempts = 4;
    state.first = WallClock::time_point(seconds(1765000000));
    state.next = WallClock::time_point(seconds(1765003600));
    state.lastReason = "RCPT TO:<a@b> refused: 451 4.7.1 \xC7\xEB try=again\r\nX: injected";
    std::string record = FormatRetryRecord(state);
    auto read = ParseRetryRecord(record);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->attempts, 4);
    EXPECT_EQ(read->first, state.first);
    EXPECT_EQ(read->next, state.next);
    // A line end in a peer's reason cannot start a field of its own.
    EXPECT_EQ(read->lastReason, "RCPT TO:<a@b> refused: 451 4.7.1 \xC7\xEB try=again  X: injected");
    // Cut anywhere short of its end, it is no record (never a record with a field missing).
    for (size_t cut = 0; cut < record.size(); ++cut)
        EXPECT_FALSE(ParseRetryRecord(record.substr(0, cut))) << cut;
    for (const std::string& bad :
         {std::string("VANTRO-RETRY 2\r\nattempts=1\r\nfirst=1\r\nnext=2\r\nreason=\r\nend\r\n"),
          std::string("VANTRO-RETRY 1\r\nattempts=x\r\nfirst=1\r\nnext=2\r\nreason=\r\nend\r\n"),
          std::string("VANTRO-RETRY 1\r\nattempts=-1\r\nfirst=1\r\nnext=2\r\nreason=\r\nend\r\n"),
          std::string("VANTRO-RETRY 1\r\nattempts=1\r\nnext=2\r\nreason=\r\nend\r\n"),
          std::string("VANTRO-RETRY 1\r\nattempts=1\r\nfirst=99999999999999999999\r\nnext=2\r\n"
                      "reason=\r\nend\r\n"),
          std::string("VANTRO-RETRY 1\r\nattempts=1\r\nfirst=1\r\nnext=2\r\nwhat=3\r\n"
                      "reason=\r\nend\r\n"),
          std::string("\0\0\0\0", 4)})
        EXPECT_FALSE(ParseRetryRecord(bad)) << bad;
}

} // namespace
