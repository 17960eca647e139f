// Upstream sessions kept between messages, against a real upstream (python3-aiosmtpd): which
// messages share a session, what happens when the upstream has ended a kept one, and that
// every message still arrives exactly once.
#include "smtpclient/relay_sessions.h"
#include "smtpclient/smtpsender.h"
#include "tests/support/upstream.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace smtpclient;
using testsupport::Upstream;

namespace {

TRelayOptions OptionsWith(TRelaySessions* sessions, const std::string& name = "vantro-test") {
    TRelayOptions options;
    options.SystemName = name;
    options.TimeoutMs = 10000;
    options.Sessions = sessions;
    return options;
}

bool Relay(const TRelayOptions& options, const Upstream& upstream, const std::string& subject,
           const std::string& to = "c@d.example", const std::string& user = "",
           const std::string& password = "", std::string* reason = nullptr) {
    return RelayMessage(options, "a@b.example", to, upstream.HostAndPort(),
                        {"Subject: " + subject, "", "body"}, user, password, reason);
}

// The upstream's messages once `count` have arrived and a moment has passed in which a
// message sent twice would have arrived too.
std::vector<testsupport::StoredMessage> SettledMessages(const Upstream& upstream, size_t count) {
    upstream.WaitForMessages(count, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return upstream.Messages();
}

bool WaitForQuit(const Upstream& upstream, int port) {
    for (int i = 0; i < 500; ++i) {
        auto ports = upstream.QuitPorts();
        if (std::find(ports.begin(), ports.end(), port) != ports.end()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(KeptSessions, MessagesWithTheSameSettingsShareOneSessionUntilItIsClosedWithQuit) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    for (int n = 1; n <= 3; ++n)
        ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, std::to_string(n)));
    ASSERT_TRUE(upstream.WaitForMessages(3, 5000));
    auto messages = upstream.Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(messages[n - 1].content, "Subject: " + std::to_string(n) + "\r\n\r\nbody\r\n");
    EXPECT_EQ(testsupport::SessionPorts(messages).size(), 1u);
    EXPECT_EQ(sessions.Kept(), 1u);
    EXPECT_TRUE(upstream.QuitPorts().empty()); // kept open, not ended

    sessions.CloseIdle(std::chrono::milliseconds(0));
    EXPECT_EQ(sessions.Kept(), 0u);
    EXPECT_TRUE(WaitForQuit(upstream, messages[0].peerPort));
}

TEST(KeptSessions, SessionsYoungerThanTheIdleTimeStay) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "young"));
    sessions.CloseIdle(std::chrono::minutes(1));
    EXPECT_EQ(sessions.Kept(), 1u);
}

TEST(KeptSessions, ARelayWithoutSessionsEndsItsOwnWithQuit) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    ASSERT_TRUE(Relay(OptionsWith(nullptr), upstream, "alone"));
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_TRUE(WaitForQuit(upstream, upstream.Messages()[0].peerPort));
}

TEST(KeptSessions, AnotherAccountOrGreetingNameNeverSharesASession) {
    Upstream upstream({"--user", "kalvex:739104", "--user", "brontal:55"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "1", "c@d.example", "kalvex", "739104"));
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "2", "c@d.example", "brontal", "55"));
    ASSERT_TRUE(Relay(OptionsWith(&sessions, "other-name"), upstream, "3", "c@d.example", "kalvex",
                      "739104"));
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "4", "c@d.example", "kalvex", "739104"));
    ASSERT_TRUE(upstream.WaitForMessages(4, 5000));
    auto m = upstream.Messages();
    EXPECT_EQ(m[0].authUser, "kalvex");
    EXPECT_EQ(m[1].authUser, "brontal");
    EXPECT_EQ(testsupport::SessionPorts({m[0], m[1], m[2]}).size(), 3u);
    EXPECT_EQ(m[3].peerPort, m[0].peerPort);
    EXPECT_EQ(m[3].authUser, "kalvex");
    EXPECT_EQ(sessions.Kept(), 3u);
}

TEST(KeptSessions, ASessionTheUpstreamEndedWhileIdleIsReplacedAndTheMessageArrivesOnce) {
    Upstream upstream({"--idle-timeout", "0.3"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "before"));
    // The upstream gives up on the idle session: its 421 and close wait on the relay's side.
    // (Sessions ended before it: the upstream's own start-up probe.)
    int endedBefore = upstream.Count("ended");
    bool ended = false;
    for (int i = 0; i < 1000 && !(ended = upstream.Count("ended") > endedBefore); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ended) << "the upstream did not end the idle session within 10 s";
    std::string reason;
    EXPECT_TRUE(Relay(OptionsWith(&sessions), upstream, "after", "c@d.example", "", "", &reason))
        << reason;
    auto messages = SettledMessages(upstream, 2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].content, "Subject: after\r\n\r\nbody\r\n");
    EXPECT_EQ(testsupport::SessionPorts(messages).size(), 2u);
}

TEST(KeptSessions, AnUpstreamsLimitOfMessagesPerSessionSendsTheNextOverANewSession) {
    Upstream upstream({"--session-messages", "1"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    std::string reason;
    for (const char* subject : {"first", "second", "third"})
        EXPECT_TRUE(
            Relay(OptionsWith(&sessions), upstream, subject, "c@d.example", "", "", &reason))
            << subject << ": " << reason;
    auto messages = SettledMessages(upstream, 3);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].content, "Subject: third\r\n\r\nbody\r\n");
    EXPECT_EQ(testsupport::SessionPorts(messages).size(), 3u);
}

TEST(KeptSessions, ARefusalANewSessionGivesTooFailsTheMessageAndEndsTheSessions) {
    Upstream upstream({"--refuse-rcpt", "nobody@d.example"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "good"));
    std::string reason;
    EXPECT_FALSE(
        Relay(OptionsWith(&sessions), upstream, "refused", "nobody@d.example", "", "", &reason));
    EXPECT_NE(reason.find("RCPT"), std::string::npos) << reason;
    EXPECT_NE(reason.find("550"), std::string::npos) << reason;
    EXPECT_EQ(sessions.Kept(), 0u);
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "good again"));
    ASSERT_TRUE(upstream.WaitForMessages(2, 5000));
    auto messages = upstream.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(testsupport::SessionPorts(messages).size(), 2u);
}

TEST(KeptSessions, AStoppedRelaySendsNothingOverAKeptSessionAndEndsIt) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    ASSERT_TRUE(Relay(OptionsWith(&sessions), upstream, "first"));
    TRelayControl control;
    control.Stop();
    TRelayOptions options = OptionsWith(&sessions);
    options.Control = &control;
    EXPECT_FALSE(Relay(options, upstream, "stopped"));
    EXPECT_EQ(sessions.Kept(), 0u);
    EXPECT_EQ(SettledMessages(upstream, 1).size(), 1u);
}

TEST(KeptSessions, BeyondTheBoundTheLongestIdleSessionIsClosed) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions(2);
    for (const char* name : {"one", "two", "three"})
        ASSERT_TRUE(Relay(OptionsWith(&sessions, name), upstream, name));
    ASSERT_TRUE(upstream.WaitForMessages(3, 5000));
    auto messages = upstream.Messages();
    EXPECT_EQ(sessions.Kept(), 2u);
    EXPECT_TRUE(WaitForQuit(upstream, messages[0].peerPort));
    EXPECT_EQ(upstream.QuitPorts().size(), 1u);
}

TEST(KeptSessions, OneUpstreamsSessionsAreBoundedKeptOnesIncludedAndOnlyGreetedOnesCount) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::string name = "127.0.0.1:" + std::to_string(upstream.Port());
    TRelaySessions sessions;
    // Two accounts' sessions to the one upstream, both kept afterwards.
    for (const char* account : {"one", "two"})
        ASSERT_TRUE(Relay(OptionsWith(&sessions, account), upstream, account));
    EXPECT_EQ(sessions.Kept(), 2u);
    EXPECT_EQ(sessions.Open(name), 2u);
    // With a bound of two, a third account's session closes the longest idle one first.
    TRelayOptions third = OptionsWith(&sessions, "three");
    sessions.SetMaxOpen(2);
    ASSERT_TRUE(Relay(third, upstream, "three"));
    auto messages = SettledMessages(upstream, 3);
    EXPECT_TRUE(WaitForQuit(upstream, messages[0].peerPort));
    EXPECT_EQ(sessions.Open(name), 2u);
    // A session being opened is in use but not yet open there: a refusal counted against
    // the sessions "open" must not count the ones that are only connecting. (No bound now,
    // so that the two kept stay.)
    sessions.SetMaxOpen(0);
    TSessionKey key = TSessionKey::Of(third, "127.0.0.1", std::to_string(upstream.Port()), "", "");
    sessions.Opening(key);
    EXPECT_EQ(sessions.Open(name), 2u);
    sessions.Established(key);
    EXPECT_EQ(sessions.Open(name), 3u);
    sessions.Ended(key, true);
    EXPECT_EQ(sessions.Open(name), 2u);
    sessions.Opening(key);
    sessions.Ended(key, false); // refused before its greeting
    EXPECT_EQ(sessions.Open(name), 2u);
    EXPECT_EQ(sessions.Open("127.0.0.1:1"), 0u);
}

TEST(KeptSessions, ASessionBeingClosedStillCountsUntilItsSocketIsClosed) {
    // Two relays at the bound of two, each opening a session of its own (their greeting names
    // differ), while a sweeper closes every kept one: a relay must never connect while a QUIT
    // of the sweeper is still under way, which the upstream would see as a third session.
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::string name = "127.0.0.1:" + std::to_string(upstream.Port());
    TRelaySessions sessions;
    sessions.SetMaxOpen(2);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread sweeper([&] {
        while (!done) sessions.CloseIdle(std::chrono::milliseconds(0));
    });
    std::vector<std::thread> relays;
    for (int r = 0; r < 2; ++r)
        relays.emplace_back([&, r] {
            for (int i = 0; i < 15; ++i) {
                TRelayOptions options = OptionsWith(&sessions, "r" + std::to_string(r * 100 + i));
                if (!Relay(options, upstream, std::to_string(i))) ++failures;
            }
        });
    for (auto& relay : relays) relay.join();
    done = true;
    sweeper.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(upstream.WaitForMessages(30, 5000));
    EXPECT_LE(sessions.PeakConnections(name), 2u);
    EXPECT_GE(sessions.PeakConnections(name), 1u);
    EXPECT_LE(upstream.Count("peak-sessions"), 2);
}

} // namespace
