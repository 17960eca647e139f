#include "platform/message_loop.h"
#include "tests/support/loopback.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

using platform::Message;
using platform::MessageLoop;

namespace {

TEST(MessageLoop, PostedMessagesArriveInOrderIncludingFromOtherThreads) {
    MessageLoop& loop = MessageLoop::Current();
    std::vector<uintptr_t> seen;
    auto window = loop.CreateHiddenWindow([&](const Message& m) { seen.push_back(m.wParam); });
    for (uintptr_t i = 0; i < 5; ++i) ASSERT_TRUE(MessageLoop::PostMessage(window, 2000, i, 0));
    std::thread poster([&] {
        for (uintptr_t i = 5; i < 1005; ++i) MessageLoop::PostMessage(window, 2000, i, 0);
    });
    poster.join();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return seen.size() == 1005; }, 2000));
    for (uintptr_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
    loop.DestroyWindow(window);
}

TEST(MessageLoop, MessagesToADestroyedWindowAreDropped) {
    MessageLoop& loop = MessageLoop::Current();
    int calls = 0;
    auto window = loop.CreateHiddenWindow([&](const Message&) { ++calls; });
    MessageLoop::PostMessage(window, 2000, 0, 0);
    loop.DestroyWindow(window);
    EXPECT_FALSE(MessageLoop::PostMessage(window, 2000, 0, 0));
    testsupport::PumpFor(30);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(loop.IsWindow(window));
}

TEST(MessageLoop, AWindowMayDestroyItselfInsideItsProcedure) {
    MessageLoop& loop = MessageLoop::Current();
    int calls = 0;
    platform::WindowHandle window = 0;
    std::string capture = "still alive"; // captured state must survive the destroy
    window = loop.CreateHiddenWindow([&, capture](const Message&) {
        ++calls;
        loop.DestroyWindow(window);
        EXPECT_EQ(capture, "still alive");
    });
    MessageLoop::PostMessage(window, 2000, 0, 0);
    MessageLoop::PostMessage(window, 2000, 1, 0);
    testsupport::PumpFor(30);
    EXPECT_EQ(calls, 1);
}

TEST(MessageLoop, AMessagePostedDuringAPassComesAtItsEndAndOnePostedThenInALaterPass) {
    MessageLoop& loop = MessageLoop::Current();
    std::vector<int> order;
    platform::WindowHandle window = 0;
    window = loop.CreateHiddenWindow([&](const Message& m) {
        order.push_back(static_cast<int>(m.wParam));
        if (m.wParam == 1) MessageLoop::PostMessage(window, 2000, 3, 0);
        // Posted at the pass's end: it must not be taken in that same delivery.
        if (m.wParam == 3) MessageLoop::PostMessage(window, 2000, 4, 0);
        if (m.wParam == 5) {
            MessageLoop::PostMessage(window, 2000, 6, 0);
            throw std::runtime_error("handler failed");
        }
    });
    MessageLoop::PostMessage(window, 2000, 1, 0);
    MessageLoop::PostMessage(window, 2000, 2, 0);
    ASSERT_TRUE(loop.RunOnce(1000));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return order.size() == 4; }, 1000));
    EXPECT_EQ(order.back(), 4);

    // A pass left by an exception still wakes the loop for what was posted during it.
    MessageLoop::PostMessage(window, 2000, 5, 0);
    EXPECT_THROW(loop.RunOnce(1000), std::runtime_error);
    EXPECT_EQ(order.back(), 5);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return order.size() == 6; }, 1000));
    EXPECT_EQ(order.back(), 6);
    loop.DestroyWindow(window);
}

TEST(MessageLoop, TimersRepeatUntilKilledAndDieWithTheirWindow) {
    MessageLoop& loop = MessageLoop::Current();
    int ticksA = 0, ticksB = 0;
    auto window = loop.CreateHiddenWindow([&](const Message& m) {
        if (m.msg != platform::kWmTimer) return;
        if (m.wParam == 1) ++ticksA;
        if (m.wParam == 2) ++ticksB;
    });
    ASSERT_TRUE(loop.SetTimer(window, 1, 10));
    ASSERT_TRUE(loop.SetTimer(window, 2, 10));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return ticksA >= 3; }, 2000));
    loop.KillTimer(window, 1);
    int frozen = ticksA;
    testsupport::PumpFor(60);
    EXPECT_EQ(ticksA, frozen);
    EXPECT_GE(ticksB, 3);
    loop.DestroyWindow(window);
    EXPECT_FALSE(loop.SetTimer(window, 3, 10));
    testsupport::PumpFor(30); // the dead window's timer must not fire into freed state
}

TEST(MessageLoop, ATimerSetFromTheWakeCountsWhatItsPassHasTakenAlready) {
    MessageLoop& loop = MessageLoop::Current();
    std::vector<uintptr_t> fired;
    platform::WindowHandle window = 0;
    window = loop.CreateHiddenWindow([&](const Message& m) {
        if (m.msg == platform::kWmTimer) {
            fired.push_back(m.wParam);
            loop.KillTimer(window, m.wParam);
            return;
        }
        // A handler that took 40 ms, then both timers of 20 ms: the one counted from the
        // wake is due already, the other only 20 ms from now.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(40);
        while (std::chrono::steady_clock::now() < until) {
        }
        ASSERT_TRUE(loop.SetTimer(window, 1, 20));
        ASSERT_TRUE(loop.SetTimerFromWake(window, 2, 20));
    });
    ASSERT_TRUE(MessageLoop::PostMessage(window, 5000, 0, 0));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return fired.size() == 2; }, 2000));
    EXPECT_EQ(fired, (std::vector<uintptr_t>{2, 1}));
    // Outside a pass there is no wake to count from: the timer counts from now.
    ASSERT_TRUE(loop.SetTimerFromWake(window, 3, 10));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return fired.size() == 3; }, 2000));
    loop.DestroyWindow(window);
}

TEST(MessageLoop, AKilledTimerIsSilentEvenWhenItHadExpiredAlready) {
    MessageLoop& loop = MessageLoop::Current();
    std::vector<std::pair<int, uintptr_t>> fired;
    platform::WindowHandle first = loop.CreateHiddenWindow([&](const Message& m) {
        if (m.msg == platform::kWmTimer) fired.push_back({1, m.wParam});
    });
    platform::WindowHandle second = loop.CreateHiddenWindow([&](const Message& m) {
        if (m.msg == platform::kWmTimer) fired.push_back({2, m.wParam});
    });
    ASSERT_TRUE(loop.SetTimer(first, 7, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5)); // expired, not yet read
    loop.KillTimer(first, 7);
    ASSERT_TRUE(loop.SetTimer(second, 9, 30));
    loop.RunOnce(0);
    EXPECT_TRUE(fired.empty()); // neither the killed expiry nor an early one for the new owner
    for (int i = 0; i < 100 && fired.empty(); ++i) loop.RunOnce(10);
    ASSERT_FALSE(fired.empty());
    EXPECT_EQ(fired.front(), (std::pair<int, uintptr_t>{2, 9}));
    loop.KillTimer(second, 9);
    fired.clear();
    for (int i = 0; i < 5; ++i) loop.RunOnce(10);
    EXPECT_TRUE(fired.empty());
    loop.DestroyWindow(first);
    loop.DestroyWindow(second);
}

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(MessageLoop, TimersOfManyWindowsShareOneDescriptorAndEachFiresOnce) {
    MessageLoop& loop = MessageLoop::Current();
    std::vector<int> fired(200, 0);
    std::vector<platform::WindowHandle> windows;
    size_t before = OpenDescriptors();
    for (size_t i = 0; i < fired.size(); ++i) {
        windows.push_back(loop.CreateHiddenWindow([&, i](const Message& m) {
            if (m.msg != platform::kWmTimer) return;
            ++fired[i];
            loop.KillTimer(windows[i], m.wParam);
        }));
        ASSERT_TRUE(loop.SetTimer(windows[i], 1, static_cast<uint32_t>(1 + i % 7)));
    }
    // A timer per delaying session: a peer opening many sessions must not cost descriptors.
    EXPECT_EQ(OpenDescriptors(), before);
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] { return std::count(fired.begin(), fired.end(), 1) == 200; }, 2000));
    testsupport::PumpFor(20);
    EXPECT_EQ(std::count(fired.begin(), fired.end(), 1), 200);
    for (auto window : windows) loop.DestroyWindow(window);
}

TEST(MessageLoop, APeriodicTimerThatMissedPeriodsFiresOnceThenKeepsItsPeriod) {
    MessageLoop& loop = MessageLoop::Current();
    int ticks = 0;
    auto window = loop.CreateHiddenWindow([&](const Message& m) {
        if (m.msg == platform::kWmTimer) ++ticks;
    });
    ASSERT_TRUE(loop.SetTimer(window, 1, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(60)); // twelve periods, no pass
    for (int i = 0; i < 100 && ticks == 0; ++i) loop.RunOnce(10);
    for (int i = 0; i < 3; ++i) loop.RunOnce(0); // a burst of the missed ones would come now
    EXPECT_EQ(ticks, 1);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return ticks >= 3; }, 2000));
    loop.DestroyWindow(window);
}

TEST(MessageLoop, TimersLeftByAThrowingTimerHandlerComeInTheNextPass) {
    MessageLoop& loop = MessageLoop::Current();
    std::vector<uintptr_t> fired;
    platform::WindowHandle window = 0;
    window = loop.CreateHiddenWindow([&](const Message& m) {
        if (m.msg != platform::kWmTimer) return;
        fired.push_back(m.wParam);
        loop.KillTimer(window, m.wParam);
        if (m.wParam == 1) throw std::runtime_error("handler failed");
    });
    ASSERT_TRUE(loop.SetTimer(window, 1, 1));
    ASSERT_TRUE(loop.SetTimer(window, 2, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5)); // both due in one pass
    bool thrown = false;
    for (int i = 0; i < 100 && !thrown; ++i) {
        try {
            loop.RunOnce(10);
        } catch (const std::runtime_error&) {
            thrown = true;
        }
    }
    ASSERT_TRUE(thrown);
    EXPECT_EQ(fired, (std::vector<uintptr_t>{1}));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return fired.size() == 2; }, 1000));
    EXPECT_EQ(fired.back(), 2u);
    loop.DestroyWindow(window);
}

TEST(MessageLoop, EachThreadHasItsOwnLoopAndQuitEndsRun) {
    MessageLoop* mine = &MessageLoop::Current();
    MessageLoop* theirs = nullptr;
    platform::WindowHandle remote = 0;
    std::atomic<bool> ready{false};
    int handled = 0;
    std::thread worker([&] {
        MessageLoop& loop = MessageLoop::Current();
        theirs = &loop;
        remote = loop.CreateHiddenWindow([&](const Message& m) {
            ++handled;
            if (m.wParam == 99) loop.Quit();
        });
        ready = true;
        loop.Run();
        loop.DestroyWindow(remote);
    });
    while (!ready) std::this_thread::yield();
    MessageLoop::PostMessage(remote, 2000, 1, 0);
    MessageLoop::PostMessage(remote, 2000, 99, 0);
    worker.join();
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(handled, 2);
}

} // namespace
