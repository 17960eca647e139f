// The asynchronous-select contract the socket layer builds on, checked on real loopback
// TCP connections.
#include "platform/async_net.h"
#include "platform/message_loop.h"
#include "platform/wsa_numbers.h"
#include "tests/support/loopback.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

constexpr uint32_t kMsg = 3000;

struct Recorder {
    MessageLoop& loop = MessageLoop::Current();
    std::vector<std::pair<uint32_t, uint16_t>> events; // (bits, error) per notification
    std::function<void(uint32_t)> onEvent;
    WindowHandle window = loop.CreateHiddenWindow([this](const Message& m) {
        if (m.msg != kMsg) return;
        events.emplace_back(NotificationEvents(m.lParam), NotificationError(m.lParam));
        if (onEvent) onEvent(NotificationEvents(m.lParam));
    });
    ~Recorder() { loop.DestroyWindow(window); }
    int Count(uint32_t bit) const {
        int n = 0;
        for (auto& e : events) n += (e.first & bit) ? 1 : 0;
        return n;
    }
};

// A connected pair: `server` is non-blocking and served by the loop, `client` is blocking.
struct Pair {
    int listener = -1, client = -1, server = -1;
    Pair() {
        int port = 0;
        listener = testsupport::ListenLoopback(port);
        client = testsupport::ConnectLoopback(port);
        server = testsupport::AcceptWithin(listener, 1000);
        fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
    }
    ~Pair() {
        if (server >= 0) SockClose(server);
        testsupport::CloseFd(client);
        testsupport::CloseFd(listener);
    }
};

constexpr uint32_t kAll = kFdRead | kFdWrite | kFdConnect | kFdClose;

TEST(AsyncSelect, WriteIsSignalledOnceAfterRegistrationNotContinuously) {
    Recorder rec;
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    testsupport::PumpFor(100);
    EXPECT_EQ(rec.Count(kFdWrite), 1);
    EXPECT_EQ(rec.events.size(), 1u);
}

TEST(AsyncSelect, ReadIsSignalledWhilePendingAndReArmedOnlyByReceive) {
    Recorder rec;
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    testsupport::SendAll(pair.client, "hello world");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdRead) == 1; }, 1000));
    // Not read yet: no further notification, and no spinning either.
    testsupport::PumpFor(80);
    EXPECT_EQ(rec.Count(kFdRead), 1);
    char buffer[5];
    ASSERT_EQ(SockRecv(pair.server, buffer, 5), 5); // partial read: data still pending
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdRead) == 2; }, 1000));
    char rest[64];
    ASSERT_EQ(SockRecv(pair.server, rest, sizeof(rest)), 6);
    testsupport::PumpFor(80);
    EXPECT_EQ(rec.Count(kFdRead), 2);
}

TEST(AsyncSelect, WriteComesBackOnceAfterASendWouldHaveBlocked) {
    Recorder rec;
    Pair pair;
    int small = 4096;
    setsockopt(pair.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(pair.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    testsupport::PumpFor(50);
    ASSERT_EQ(rec.Count(kFdWrite), 1);
    std::string block(65536, 'x');
    long total = 0;
    for (long n; (n = SockSend(pair.server, block.data(), block.size(), 0)) > 0;) total += n;
    ASSERT_EQ(LastSocketError(), kWsaEWOULDBLOCK); // the peer is not reading
    // The peer drains everything; room comes back and exactly one write notification follows.
    std::string drained = testsupport::ReadUntil(
        pair.client, [&](const std::string& s) { return s.size() >= static_cast<size_t>(total); },
        3000);
    ASSERT_EQ(drained.size(), static_cast<size_t>(total));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdWrite) == 2; }, 2000));
    testsupport::PumpFor(80);
    EXPECT_EQ(rec.Count(kFdWrite), 2);
}

TEST(AsyncSelect, GracefulCloseIsSignalledOnceWithDataStillReadable) {
    Recorder rec;
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kFdRead | kFdClose), 0);
    testsupport::SendAll(pair.client, "last words");
    ::close(pair.client);
    pair.client = -1;
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdClose) == 1; }, 1000));
    testsupport::PumpFor(80);
    EXPECT_EQ(rec.Count(kFdClose), 1);
    EXPECT_EQ(rec.events.back().second, 0);
    char buffer[64];
    EXPECT_EQ(SockRecv(pair.server, buffer, sizeof(buffer)), 10);
    EXPECT_EQ(std::string(buffer, 10), "last words");
    testsupport::PumpFor(50);
    EXPECT_EQ(rec.Count(kFdClose), 1);
}

TEST(AsyncSelect, ResetIsSignalledOnceAsCloseWithError10054) {
    Recorder rec;
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    testsupport::PumpFor(30);
    testsupport::SetAbortiveClose(pair.client);
    ::close(pair.client);
    pair.client = -1;
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdClose) == 1; }, 1000));
    testsupport::PumpFor(80);
    EXPECT_EQ(rec.Count(kFdClose), 1);
    EXPECT_EQ(rec.events.back().second, kWsaECONNRESET);
}

TEST(AsyncSelect, OrderWithinOneNotificationIsReadThenWrite) {
    Recorder rec;
    Pair pair;
    testsupport::SendAll(pair.client, "x");
    testsupport::PumpFor(20);
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !rec.events.empty(); }, 1000));
    // Read and write are ready together and arrive in one notification.
    EXPECT_EQ(rec.events.front().first, kFdRead | kFdWrite);
}

TEST(AsyncSelect, AcceptIsSignalledWhileConnectionsArePending) {
    Recorder rec;
    int port = 0;
    int listener = testsupport::ListenLoopback(port);
    fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
    ASSERT_EQ(
        rec.loop.AsyncSelect(listener, rec.window, kMsg, kFdAccept | kFdRead | kFdWrite | kFdClose),
        0);
    int c1 = testsupport::ConnectLoopback(port);
    int c2 = testsupport::ConnectLoopback(port);
    std::vector<int> accepted;
    rec.onEvent = [&](uint32_t bits) {
        if (bits & kFdAccept) accepted.push_back(SockAccept(listener, nullptr, nullptr));
    };
    ASSERT_TRUE(testsupport::PumpUntil([&] { return accepted.size() == 2; }, 1000));
    testsupport::PumpFor(50);
    EXPECT_EQ(accepted.size(), 2u);
    EXPECT_EQ(rec.Count(kFdAccept), 2);
    for (int fd : accepted) {
        EXPECT_GE(fd, 0);
        SockClose(fd);
    }
    SockClose(listener);
    ::close(c1);
    ::close(c2);
}

TEST(AsyncSelect, CancelledOrForgottenRegistrationsDeliverNothing) {
    Recorder rec;
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, 0), 0);
    testsupport::SendAll(pair.client, "ignored");
    testsupport::PumpFor(60);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(rec.loop.AsyncSelect(-1, rec.window, kMsg, kAll), kWsaENOTSOCK);
    EXPECT_EQ(rec.loop.AsyncSelect(pair.server, 0, kMsg, kAll), kWsaEINVAL);
}

TEST(AsyncSelect, ResumingAfterACancelReportsWhatArrivedMeanwhileAsANewRegistration) {
    Recorder rec;
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdWrite) == 1; }, 1000));
    for (int round = 1; round <= 3; ++round) {
        ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, 0), 0); // paused
        testsupport::SendAll(pair.client, "x");
        testsupport::PumpFor(30);
        EXPECT_EQ(rec.Count(kFdRead), round - 1) << "nothing while paused, round " << round;
        ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
        // As any registration: the pending byte is reported, and so is writability.
        ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdRead) == round; }, 1000));
        EXPECT_EQ(rec.Count(kFdWrite), round + 1);
        char c;
        ASSERT_EQ(SockRecv(pair.server, &c, 1), 1);
    }
    // A peer closing while paused is reported once notifications are back.
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, 0), 0);
    testsupport::CloseFd(pair.client);
    pair.client = -1;
    testsupport::PumpFor(30);
    EXPECT_EQ(rec.Count(kFdClose), 0);
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdClose) == 1; }, 1000));
}

// Whether `fd` is registered with the epoll descriptor `epollFd`, from the kernel's own list.
bool InEpoll(int epollFd, int fd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(epollFd));
    for (std::string line; std::getline(info, line);)
        if (line.rfind("tfd:", 0) == 0 && std::stoi(line.substr(4)) == fd) return true;
    return false;
}

TEST(AsyncSelect, APausedSocketHoldsItsEventsForTheResumeAndCostsNothingWhenNoneCome) {
    Recorder rec;
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdWrite) == 1; }, 1000));
    // A quiet pause leaves the registration as it is, and its end reports nothing: no second
    // write notification, as a registration made afresh would give.
    rec.loop.PauseSocket(pair.server);
    testsupport::PumpFor(20);
    EXPECT_TRUE(InEpoll(rec.loop.Fd(), pair.server));
    rec.loop.ResumeSocket(pair.server, false, false);
    testsupport::PumpFor(30);
    EXPECT_EQ(rec.events.size(), 1u);
    // Data during a pause is held, without waking the loop again and again, and reported once
    // at the resume.
    for (int round = 1; round <= 3; ++round) {
        rec.loop.PauseSocket(pair.server);
        testsupport::SendAll(pair.client, "x");
        testsupport::PumpFor(30);
        EXPECT_EQ(rec.Count(kFdRead), round - 1) << "nothing while paused, round " << round;
        EXPECT_FALSE(InEpoll(rec.loop.Fd(), pair.server));
        rec.loop.ResumeSocket(pair.server, false, false);
        ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdRead) == round; }, 1000));
        testsupport::PumpFor(20);
        EXPECT_EQ(rec.Count(kFdRead), round);
        char c;
        ASSERT_EQ(SockRecv(pair.server, &c, 1), 1);
    }
    // A read notification the owner was given but could not act on is given again on asking.
    testsupport::SendAll(pair.client, "y");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdRead) == 4; }, 1000));
    rec.loop.PauseSocket(pair.server);
    rec.loop.ResumeSocket(pair.server, true, false);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdRead) == 5; }, 1000));
    EXPECT_EQ(rec.Count(kFdWrite), 1);
    // A peer closing during a pause is reported at the resume; a close given while paused is
    // given again on asking.
    rec.loop.PauseSocket(pair.server);
    testsupport::CloseFd(pair.client);
    pair.client = -1;
    testsupport::PumpFor(30);
    EXPECT_EQ(rec.Count(kFdClose), 0);
    rec.loop.ResumeSocket(pair.server, false, false);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdClose) == 1; }, 1000));
    rec.loop.PauseSocket(pair.server);
    rec.loop.ResumeSocket(pair.server, false, true);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdClose) == 2; }, 1000));
    testsupport::PumpFor(20);
    EXPECT_EQ(rec.Count(kFdClose), 2);
}

TEST(AsyncSelect, ADescriptorNumberReusedAfterAPausedSocketClosedIsWatchedAfresh) {
    Recorder rec;
    int port = 0;
    int listener = testsupport::ListenLoopback(port);
    Pair pair;
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, kAll), 0);
    ASSERT_EQ(rec.loop.AsyncSelect(pair.server, rec.window, kMsg, 0), 0);
    int number = pair.server;
    SockClose(pair.server); // forgets the paused registration with the descriptor
    pair.server = -1;
    // The same number now names a listening socket: it must be watched as one.
    int again = ::dup(listener);
    ASSERT_EQ(again, number);
    fcntl(again, F_SETFL, fcntl(again, F_GETFL) | O_NONBLOCK);
    ASSERT_EQ(rec.loop.AsyncSelect(again, rec.window, kMsg, kFdAccept | kFdClose), 0);
    int c = testsupport::ConnectLoopback(port);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return rec.Count(kFdAccept) == 1; }, 1000));
    int accepted = SockAccept(again, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    SockClose(accepted);
    SockClose(again);
    testsupport::CloseFd(c);
    testsupport::CloseFd(listener);
}

TEST(SocketErrors, LinuxErrnoMapsToWindowsSocketsNumbers) {
    EXPECT_EQ(WsaFromErrno(0), 0);
    EXPECT_EQ(WsaFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WsaFromErrno(EINPROGRESS), 10036);
    EXPECT_EQ(WsaFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WsaFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WsaFromErrno(EPIPE), 10054);
    EXPECT_EQ(WsaFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WsaFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WsaFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WsaFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(WsaFromErrno(EMFILE), 10024);
    // Two Linux causes, one Windows number; and the rule for numbers nobody listed.
    EXPECT_EQ(WsaFromErrno(ENFILE), 10024);
    EXPECT_EQ(WsaFromErrno(EPERM), 10013);
    EXPECT_EQ(WsaFromErrno(ENOMEM), 10055);
    EXPECT_EQ(WsaFromErrno(EREMOTE), 10071);
    EXPECT_EQ(WsaFromErrno(ENOSPC), 10000 + ENOSPC);
    EXPECT_EQ(WsaFromGaiError(EAI_NONAME, 0), 11001);
    EXPECT_EQ(WsaFromGaiError(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(WsaFromGaiError(EAI_FAIL, 0), 11003);
    // A failed call through the wrappers leaves its number for the thread.
    char c;
    EXPECT_EQ(SockRecv(-1, &c, 1), -1);
    EXPECT_EQ(LastSocketError(), 10009);
}

} // namespace
