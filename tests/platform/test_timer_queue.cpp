#include "platform/timer_queue.h"

#include <gtest/gtest.h>
#include <vector>

using platform::TimerQueue;

namespace {

std::vector<TimerQueue::Name> Names(const std::vector<TimerQueue::Due>& due) {
    std::vector<TimerQueue::Name> names;
    for (const auto& d : due) names.push_back(d.name);
    return names;
}

TEST(TimerQueue, TimersFallDueEarliestFirstAndTiesInTheOrderTheyWereSet) {
    TimerQueue queue;
    queue.Set({1, 7}, 300, 10);
    queue.Set({2, 7}, 100, 10);
    queue.Set({1, 8}, 300, 10);
    queue.Set({3, 1}, 900, 10);
    EXPECT_EQ(queue.Earliest(), 100);
    EXPECT_EQ(Names(queue.DueAt(300)), (std::vector<TimerQueue::Name>{{2, 7}, {1, 7}, {1, 8}}));
    EXPECT_TRUE(queue.DueAt(99).empty());
}

TEST(TimerQueue, SettingAgainRestartsAndKillingRemovesOnlyWhatItNames) {
    TimerQueue queue;
    queue.Set({1, 1}, 100, 10);
    queue.Set({1, 2}, 150, 10);
    queue.Set({2, 1}, 120, 10);
    queue.Set({1, 1}, 500, 10); // restarted: its earlier moment is gone
    EXPECT_EQ(Names(queue.DueAt(200)), (std::vector<TimerQueue::Name>{{2, 1}, {1, 2}}));
    EXPECT_TRUE(queue.Kill({2, 1}));
    EXPECT_FALSE(queue.Kill({2, 1}));
    queue.KillWindow(1);
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(queue.Earliest(), std::nullopt);
    queue.Set({5, 1}, 10, 10);
    queue.Set({6, 1}, 20, 10);
    queue.KillWindow(5); // a neighbouring window's timer stays
    EXPECT_EQ(queue.Earliest(), 20);
}

TEST(TimerQueue, AnAdvancedTimerKeepsItsPeriodAndMissedPeriodsMakeOneExpiry) {
    TimerQueue queue;
    queue.Set({1, 1}, 10, 5);
    auto due = queue.DueAt(27); // due at 10, 15, 20 and 25: one expiry, next at 30
    ASSERT_EQ(due.size(), 1u);
    ASSERT_TRUE(queue.Advance(due[0], 27));
    EXPECT_EQ(queue.Earliest(), 30);
    due = queue.DueAt(30);
    ASSERT_TRUE(queue.Advance(due.at(0), 30));
    EXPECT_EQ(queue.Earliest(), 35);
}

TEST(TimerQueue, ATimerKilledOrSetAnewAfterItFellDueIsNotAdvanced) {
    TimerQueue queue;
    queue.Set({1, 1}, 10, 5);
    queue.Set({1, 2}, 10, 5);
    auto due = queue.DueAt(10);
    ASSERT_EQ(due.size(), 2u);
    queue.Kill({1, 1});
    queue.Set({1, 2}, 8, 5); // set anew, due again: a delivery under the old setting is stale
    EXPECT_FALSE(queue.Advance(due[0], 10));
    EXPECT_FALSE(queue.Advance(due[1], 10));
    EXPECT_EQ(queue.Earliest(), 8);
    EXPECT_EQ(queue.Size(), 1u);
}

} // namespace
