// Store and forward: which failures are tried again, the sessions one upstream is given, and
// the relay core against upstreams that refuse politely (python3-aiosmtpd greylisting,
// capping its sessions, restarting). The wall clock the schedule reads is the test's own: no
// test waits out a backoff.
#include "app/core/relay_core.h"
#include "app/core/upstream_gate.h"
#include "platform/text_file.h"
#include "smtpclient/failure_class.h"
#include "smtpclient/smtpsender.h"
#include "tests/app/core/core_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_folder.h"
#include "tests/support/upstream.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace app;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

namespace {

namespace fs = std::filesystem;

// One relay against a scripted upstream; its failure class.
smtpclient::TFailureClass RelayAgainst(std::vector<testsupport::PeerStep> script,
                                       std::string& reason, const std::string& user = "") {
    testsupport::ScriptedPeer peer(std::move(script));
    smtpclient::TRelayOptions options;
    options.SystemName = "pc";
    options.TimeoutMs = 3000;
    smtpclient::TFailureClass failure;
    bool relayed = smtpclient::RelayMessage(options, "a@x.example", "b@y.example",
                                            "127.0.0.1:" + std::to_string(peer.Port()),
                                            std::vector<std::string>{"Subject: s", "", "x"}, user,
                                            user.empty() ? "" : "pw", &reason, &failure);
    peer.Join();
    EXPECT_FALSE(relayed);
    return failure;
}

TEST(FailureClass, TheClientTellsWhereAndHowASessionFailed) {
    using namespace testsupport;
    std::string reason;
    auto greeting =
        RelayAgainst({Packet("421 4.3.2 Service not available\r\n"), Hold(500)}, reason);
    EXPECT_TRUE(greeting.temporary);
    EXPECT_TRUE(greeting.sessionRefused) << reason;
    auto closed = RelayAgainst({CloseConnection()}, reason);
    EXPECT_TRUE(closed.temporary) << reason;
    EXPECT_TRUE(closed.sessionRefused) << reason;
    const std::vector<PeerStep> toRcpt = {Packet("220 hi\r\n"), ExpectLine(),
                                          Packet("250 ok\r\n"), ExpectLine(),
                                          Packet("250 ok\r\n"), ExpectLine()};
    auto grey = toRcpt;
    grey.push_back(Packet("451 4.7.1 Greylisted, please try again in 300 seconds\r\n"));
    grey.push_back(ExpectLine());
    grey.push_back(Packet("221 bye\r\n"));
    auto greylisted = RelayAgainst(grey, reason);
    EXPECT_TRUE(greylisted.temporary) << reason;
    EXPECT_FALSE(greylisted.sessionRefused);
    auto unknown = toRcpt;
    unknown.push_back(Packet("550 5.1.1 no such user\r\n"));
    unknown.push_back(ExpectLine());
    unknown.push_back(Packet("221 bye\r\n"));
    EXPECT_FALSE(RelayAgainst(unknown, reason).temporary) << reason;
    // A reset midway is the network's doing; so is a reply that never comes.
    auto reset = toRcpt;
    reset.push_back(ResetConnection());
    auto resetClass = RelayAgainst(reset, reason);
    EXPECT_TRUE(resetClass.temporary) << reason;
    EXPECT_FALSE(resetClass.sessionRefused);
    // A sign-in the server could not check now (454) makes the refusal that follows it
    // temporary; a password refused (535) leaves a 530 permanent.
    auto signIn = [&](const char* authReply) {
        return RelayAgainst(
            {Packet("220 hi\r\n"), ExpectLine(), Packet("250-hi\r\n250 AUTH LOGIN\r\n"),
             ExpectLine(), Packet(authReply), ExpectLine(),
             Packet("530 5.7.0 Authentication required\r\n"), ExpectLine(), Packet("221 bye\r\n")},
            reason, "user");
    };
    EXPECT_TRUE(signIn("454 4.7.0 Temporary authentication failure\r\n").temporary) << reason;
    EXPECT_FALSE(signIn("535 5.7.8 Authentication failed\r\n").temporary) << reason;
    // A TLS requirement the server cannot meet stays unmet.
    testsupport::ScriptedPeer noTls({Packet("220 hi\r\n"), ExpectLine(),
                                     Packet("250-hi\r\n250 AUTH LOGIN\r\n"), ExpectLine(),
                                     Packet("221 bye\r\n")});
    smtpclient::TRelayOptions options;
    options.AutoTLS = true;
    options.TimeoutMs = 3000;
    smtpclient::TFailureClass failure{true, true};
    EXPECT_FALSE(
        smtpclient::RelayMessage(options, "a@x", "b@y", "127.0.0.1:" + std::to_string(noTls.Port()),
                                 std::vector<std::string>{"x"}, "u", "p", &reason, &failure));
    noTls.Join();
    EXPECT_FALSE(failure.temporary) << reason;
}

UpstreamGate::Request To(const std::string& upstream, int n) {
    auto request = std::make_shared<DeliveryRequest>();
    request->upstream = upstream;
    request->messageId = static_cast<uint64_t>(n);
    return request;
}

std::vector<uint64_t> Ids(const std::vector<UpstreamGate::Request>& requests) {
    std::vector<uint64_t> ids;
    for (const auto& request : requests) ids.push_back(request->messageId);
    return ids;
}

TEST(UpstreamGate, AnUpstreamGetsItsLimitInArrivalOrderAndTheLimitFollowsItsRefusals) {
    UpstreamGate gate(3);
    using Result = UpstreamGate::Result;
    std::vector<uint64_t> started;
    for (int n = 1; n <= 6; ++n)
        for (uint64_t id : Ids(gate.Offer(To("a:25", n)))) started.push_back(id);
    EXPECT_EQ(started, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(Ids(gate.Offer(To("b:25", 9))), (std::vector<uint64_t>{9})); // its own limit
    EXPECT_EQ(gate.Waiting(), 3u);
    // Refused while two others are open: the limit becomes two, and nothing starts.
    EXPECT_TRUE(gate.Finished("a:25", Result::SessionRefused, 2).empty());
    EXPECT_EQ(gate.Limit("a:25"), 2u);
    EXPECT_EQ(gate.Running("a:25"), 2u);
    // A refusal with nothing else open is the upstream down, not a cap: the limit stays.
    EXPECT_EQ(Ids(gate.Finished("a:25", Result::SessionRefused, 0)), (std::vector<uint64_t>{4}));
    EXPECT_EQ(gate.Limit("a:25"), 2u);
    // Two successes in a row (a run as long as the limit) give one session more.
    EXPECT_EQ(Ids(gate.Finished("a:25", Result::Relayed, 1)), (std::vector<uint64_t>{5}));
    EXPECT_EQ(Ids(gate.Finished("a:25", Result::Relayed, 1)), (std::vector<uint64_t>{6}));
    EXPECT_EQ(gate.Limit("a:25"), 3u);
    EXPECT_EQ(gate.Waiting(), 0u);
    for (int i = 0; i < 10; ++i) gate.Finished("a:25", Result::Relayed, 0);
    EXPECT_EQ(gate.Limit("a:25"), 3u); // never above the user's maximum
    EXPECT_EQ(gate.Running("a:25"), 0u);
    gate.SetMaxSessions(1);
    EXPECT_EQ(gate.Limit("b:25"), 1u);
    EXPECT_EQ(Ids(gate.Offer(To("b:25", 10))), std::vector<uint64_t>{});
    EXPECT_EQ(Ids(gate.Finished("b:25", Result::Failed, 0)), (std::vector<uint64_t>{10}));
}

// A wall clock the test moves.
struct TestClock {
    store::WallClock::time_point now = store::WallClock::now();
    void Advance(store::WallClock::duration by) { now += by; }
};

Account AccountTo(int port) {
    Account account;
    account.mailbox = "relay@mail.example";
    account.host = "127.0.0.1";
    account.port = std::to_string(port);
    return account;
}

// A core with the test's clock (and a spool when given a folder) and `policy`.
struct RetryingCore : CoreHarness {
    RetryingCore(TestClock& clock, int upstreamPort, const RelayPolicy& policy = {},
                 const std::string& spool = "")
        : CoreHarness(
              std::to_string(upstreamPort), 8,
              [&](RelayCoreOptions& options) {
                  options.clock = [&clock] { return clock.now; };
                  options.jitter = [] { return 0.0; };
                  options.spoolFolder = spool;
                  options.relayTimeoutMs = 5000;
              },
              [&](RelayCore& core) { core.SetPolicy(policy); }) {}
    // Sends one message over a connection of its own; the reply to its end of data.
    std::string Submit(const std::string& from, const std::string& to, const std::string& subject) {
        Submitter client(port);
        return client.Message(from, to, "Subject: " + subject + "\r\n\r\nbody\r\n");
    }
    bool WaitForDeferred(size_t count) {
        return testsupport::PumpUntil(
            [&] { return core->DeferredCount() >= count && core->DeliveriesRunning() == 0; },
            10000);
    }
    size_t Listed(bool relayed) const {
        size_t listed = 0;
        for (const auto& outcome : outcomes)
            listed += outcome.recordId != 0 && outcome.relayed == relayed ? 1 : 0;
        return listed;
    }
    // Every journal line, for a failure's message.
    std::string Journal() const {
        std::string all;
        for (const auto& line : journal) all += line + "\n";
        return all;
    }
    size_t JournalLines(const std::string& word) const {
        size_t lines = 0;
        for (const auto& line : journal) lines += line.find(word) != std::string::npos ? 1 : 0;
        return lines;
    }
};

TEST(StoreAndForward, AGreylistedMessageGoesOnceWhenItsRetryComesAndIsListedOnce) {
    testsupport::Upstream upstream({"--greylist", "0.5"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TestClock clock;
    RetryingCore h(clock, upstream.Port());
    std::vector<RelayStatus> statuses;
    h.core->observers.statusChanged = [&](RelayStatus status) { statuses.push_back(status); };
    EXPECT_EQ(h.Submit("me@x.example", "you@y.example", "grey"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForDeferred(1));
    EXPECT_EQ(h.core->Status(), RelayStatus::Deferred);
    EXPECT_EQ(h.Listed(false) + h.Listed(true), 0u); // a deferral writes no line
    EXPECT_EQ(h.core->Records(ListKind::Failed).Count(), 0u);
    ASSERT_EQ(h.JournalLines("delivery deferred"), 1u);
    EXPECT_NE(
        h.journal.back().find("attempt=1 next=" + store::LocalTimeText(clock.now + seconds(60))),
        std::string::npos)
        << h.journal.back();
    EXPECT_NE(h.journal.back().find("reason=RCPT TO:<you@y.example> refused: 451 4.7.1"),
              std::string::npos);
    auto queue = h.core->Queue();
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_FALSE(queue[0].failed);
    EXPECT_EQ(queue[0].sender, "me@x.example");
    EXPECT_EQ(queue[0].attempts, 1);
    // Not yet due: nothing goes.
    clock.Advance(seconds(59));
    h.core->RunDueRetries();
    testsupport::PumpFor(200);
    EXPECT_EQ(h.core->DeferredCount(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // the greylist's own time
    clock.Advance(seconds(1));
    h.core->RunDueRetries();
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_EQ(h.Listed(true), 1u);
    EXPECT_EQ(h.Listed(false), 0u);
    EXPECT_EQ(h.core->DeferredCount(), 0u);
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    testsupport::PumpFor(200);
    EXPECT_EQ(upstream.Messages().size(), 1u);
    EXPECT_EQ(upstream.Count("greylisted"), 1);
    EXPECT_EQ(h.core->Status(), RelayStatus::Relayed);
}

TEST(StoreAndForward, ARefusingGreetingIsRetriedAndAFiveHundredFailsAtOnce) {
    testsupport::Upstream upstream({"--down-for", "0.7", "--refuse-rcpt", "gone@y.example"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TestClock clock;
    RetryingCore h(clock, upstream.Port());
    EXPECT_EQ(h.Submit("me@x.example", "you@y.example", "restarting"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForDeferred(1));
    EXPECT_GE(upstream.Count("down-refused"), 1); // and the server's own start-up probe
    EXPECT_NE(h.core->Queue()[0].lastReason.find("greeting refused: 421 4.3.2"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    clock.Advance(minutes(2));
    h.core->RunDueRetries();
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_EQ(h.Listed(true), 1u);
    // A permanent refusal is listed at once, and never tried again.
    EXPECT_EQ(h.Submit("me@x.example", "gone@y.example", "unknown"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(3));
    EXPECT_EQ(h.Listed(false), 1u);
    EXPECT_EQ(h.core->DeferredCount(), 0u);
    EXPECT_EQ(h.core->Status(), RelayStatus::Failed);
    clock.Advance(hours(10));
    h.core->RunDueRetries();
    testsupport::PumpFor(200);
    EXPECT_EQ(h.outcomes.size(), 3u);
}

TEST(StoreAndForward, WithoutRetriesATemporaryFailureIsAFailureLineAsBefore) {
    TestClock clock;
    RelayPolicy single;
    single.retry = false;
    RetryingCore h(clock, testsupport::FreePort(), single); // nobody listens there
    EXPECT_EQ(h.Submit("me@x.example", "you@y.example", "once"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    EXPECT_EQ(h.Listed(false), 1u);
    EXPECT_EQ(h.core->DeferredCount(), 0u);
    EXPECT_NE(h.outcomes[0].reason.find("Connection refused"), std::string::npos);
}

TEST(StoreAndForward, AMessageFailsWithItsLastReasonWhenItsLifetimeEnds) {
    TestClock clock;
    RelayPolicy shortLived;
    shortLived.maxLifetimeHours = 1;
    RetryingCore h(clock, testsupport::FreePort(), shortLived);
    EXPECT_EQ(h.Submit("me@x.example", "you@y.example", "doomed"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForDeferred(1));
    // Retries after 1, 2, 4, 8, 16 and 32 minutes: the seventh attempt, 63 minutes after the
    // first, is past the hour.
    int attempts = 1;
    while (h.core->DeferredCount() == 1 && attempts < 20) {
        clock.Advance(h.core->Queue()[0].next - clock.now);
        h.core->RunDueRetries();
        ASSERT_TRUE(testsupport::PumpUntil(
            [&] {
                return h.core->DeliveriesRunning() == 0 && h.outcomes.size() > size_t(attempts);
            },
            10000));
        ++attempts;
    }
    EXPECT_EQ(attempts, 7);
    ASSERT_EQ(h.Listed(false), 1u);
    const DeliveryOutcome& last = h.outcomes.back();
    EXPECT_NE(last.reason.find("Connection refused; given up after 7 attempts: its lifetime of 1 "
                               "hours has ended"),
              std::string::npos)
        << last.reason;
    EXPECT_EQ(h.JournalLines("delivery deferred"), 6u);
    EXPECT_EQ(h.JournalLines("delivery failed"), 1u);
}

TEST(StoreAndForward, AnUpstreamThatCapsItsSessionsGetsEveryMessageAndNoFailure) {
    // Three sessions at once, answering DATA slowly enough for sessions to overlap.
    testsupport::Upstream upstream({"--max-sessions", "3", "--delay", "0.05"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    // A clock that runs thirty times as fast: refused sessions come back in a tenth of a second.
    auto start = std::chrono::steady_clock::now();
    store::WallClock::time_point wallStart = store::WallClock::now();
    CoreHarness h(
        std::to_string(upstream.Port()), 16,
        [&](RelayCoreOptions& options) {
            options.clock = [=] {
                return wallStart + std::chrono::duration_cast<store::WallClock::duration>(
                                       (std::chrono::steady_clock::now() - start) * 30);
            };
            options.retryCheck = std::chrono::milliseconds(20);
            options.keptSessionIdle = std::chrono::milliseconds(300);
        },
        [](RelayCore& core) { core.SetPolicy(RelayPolicy{}); }); // maxsessions=10
    constexpr int kClients = 8, kEach = 5;
    auto run = SendFromClients(h.port, kClients, kClients * kEach, kClients);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    size_t lowestLimit = 10;
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] {
            lowestLimit = std::min(lowestLimit, h.core->SessionLimit(AccountTo(upstream.Port())));
            size_t relayed = 0;
            for (const auto& outcome : h.outcomes) relayed += outcome.relayed ? 1 : 0;
            return relayed == size_t(kClients * kEach);
        },
        60000))
        << h.outcomes.size();
    for (const auto& outcome : h.outcomes) EXPECT_TRUE(outcome.relayed || outcome.deferred);
    EXPECT_EQ(h.core->Records(ListKind::Failed).Count(), 0u);
    EXPECT_EQ(h.core->Records(ListKind::Relayed).Count(), size_t(kClients * kEach));
    ASSERT_TRUE(upstream.WaitForMessages(kClients * kEach, 5000));
    EXPECT_LE(upstream.Count("peak-sessions"), 3);
    // Refusals teach the gate the cap: far fewer sessions were refused than messages sent.
    EXPECT_LT(upstream.Count("cap-refused"), kClients * kEach) << upstream.Count("cap-refused");
    if (upstream.Count("cap-refused") > 0) {
        EXPECT_LE(lowestLimit, 3u);
    }
}

struct SpoolFolder : testsupport::TempFolder {
    SpoolFolder() : TempFolder("retry-spool") { fs::remove_all(path); }
    std::string Spool() const { return path.string(); }
    std::vector<std::string> Named(const std::string& suffix) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path)) {
            std::string name = entry.path().filename().string();
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        return names;
    }
};

TEST(StoreAndForward, RecipientsThatFareDifferentlyAreListedRetriedAndResentApart) {
    SpoolFolder folder;
    testsupport::Upstream upstream({"--refuse-rcpt", "b@y.example", "--defer-once", "c@y.example"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TestClock clock;
    RetryingCore h(clock, upstream.Port(), {}, folder.Spool());
    Submitter client(h.port);
    EXPECT_EQ(client.MessageTo("me@x.example", {"a@y.example", "b@y.example", "c@y.example"},
                               "Subject: three\r\n\r\nbody\r\n"),
              "250 OK \r\n");
    ASSERT_TRUE(h.WaitForDeferred(1)) << h.Journal();
    // a has it: a success line naming a alone; b is refused: a failure line naming b with
    // its reason; c waits for its retry, alone.
    ASSERT_EQ(h.Listed(true), 1u) << h.Journal();
    ASSERT_EQ(h.Listed(false), 1u) << h.Journal();
    const auto& relayed = h.core->Records(ListKind::Relayed).Records();
    const auto& failed = h.core->Records(ListKind::Failed).Records();
    EXPECT_NE(relayed[0].line.find("/To:a@y.example/"), std::string::npos) << relayed[0].line;
    EXPECT_NE(failed[0].line.find("/To:b@y.example/"), std::string::npos) << failed[0].line;
    EXPECT_EQ(failed[0].reason, "RCPT TO:<b@y.example> refused: 550 5.1.1 no such user here");
    auto queue = h.core->Queue();
    ASSERT_EQ(queue.size(), 2u); // c deferred, b kept for a resend
    EXPECT_EQ(queue[0].recipientText, "c@y.example");
    EXPECT_EQ(queue[1].recipientText, "b@y.example"); // its own copy in the spool
    EXPECT_EQ(h.core->Status(), RelayStatus::Failed);
    // The retry goes to c alone; the resend to b alone.
    clock.Advance(seconds(61));
    h.core->RunDueRetries();
    ASSERT_TRUE(h.WaitForOutcomes(4)) << h.Journal();
    EXPECT_EQ(h.Listed(true), 2u);
    ASSERT_TRUE(h.core->Resend(failed[0].id));
    ASSERT_TRUE(h.WaitForOutcomes(5)) << h.Journal();
    EXPECT_EQ(h.Listed(false), 2u);
    ASSERT_TRUE(upstream.WaitForMessages(2, 5000));
    testsupport::PumpFor(200);
    auto messages = upstream.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].recipients, (std::vector<std::string>{"a@y.example"}));
    EXPECT_EQ(messages[1].recipients, (std::vector<std::string>{"c@y.example"}));
    EXPECT_EQ(messages[1].content, "Subject: three\r\n\r\nbody\r\n");
    h.core->Shutdown();
    EXPECT_EQ(folder.Named(".retry").size(), 0u);
    EXPECT_EQ(folder.Named(".msg").size(), 1u); // b's copy, kept again after its refusal
}

TEST(StoreAndForward, WithoutRetriesADeferredRecipientIsAFailureLineBesideTheOthersSuccess) {
    testsupport::Upstream upstream({"--defer-once", "b@y.example"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TestClock clock;
    RelayPolicy once;
    once.retry = false;
    RetryingCore h(clock, upstream.Port(), once);
    Submitter client(h.port);
    EXPECT_EQ(
        client.MessageTo("me@x.example", {"a@y.example", "b@y.example"}, "Subject: 1\r\n\r\nx\r\n"),
        "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(2)) << h.Journal();
    EXPECT_EQ(h.Listed(true), 1u);
    ASSERT_EQ(h.Listed(false), 1u);
    EXPECT_EQ(h.core->DeferredCount(), 0u);
    const Record& failed = h.core->Records(ListKind::Failed).Records()[0];
    EXPECT_NE(failed.line.find("/To:b@y.example/"), std::string::npos) << failed.line;
    EXPECT_EQ(failed.reason,
              "RCPT TO:<b@y.example> refused: 450 4.2.1 Mailbox busy, try again later");
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages()[0].recipients, (std::vector<std::string>{"a@y.example"}));
}

TEST(StoreAndForward, ARestartInTheMiddleOfABackoffKeepsTheScheduleAndSendsOnce) {
    SpoolFolder folder;
    int port = testsupport::FreePort();
    TestClock clock;
    {
        RetryingCore first(clock, port, {}, folder.Spool());
        EXPECT_EQ(first.Submit("me@x.example", "you@y.example", "kept"), "250 OK \r\n");
        ASSERT_TRUE(first.WaitForDeferred(1));
        first.core->Shutdown();
    }
    ASSERT_EQ(folder.Named(".retry").size(), 1u);
    auto record = platform::ReadFileBytes((folder.path / folder.Named(".retry")[0]).string());
    ASSERT_TRUE(record);
    auto state = store::ParseRetryRecord(*record);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->attempts, 1);
    // The upstream is back, but the message waits for its time.
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok());
    clock.Advance(seconds(30));
    RetryingCore second(clock, upstream.Port(), {}, folder.Spool());
    testsupport::PumpFor(300);
    EXPECT_EQ(second.outcomes.size(), 0u);
    EXPECT_EQ(second.core->DeferredCount(), 1u);
    EXPECT_EQ(second.core->Queue()[0].attempts, 1);
    clock.Advance(seconds(31));
    second.core->RunDueRetries();
    ASSERT_TRUE(second.WaitForOutcomes(1));
    EXPECT_TRUE(second.outcomes[0].relayed) << second.outcomes[0].reason;
    second.core->Shutdown();
    EXPECT_TRUE(folder.Named(".retry").empty());
    EXPECT_TRUE(folder.Named(".msg").empty());
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    // Sent from its spool file as it was received.
    EXPECT_EQ(upstream.Messages()[0].content, "Subject: kept\r\n\r\nbody\r\n");
    // A third start finds nothing to send again.
    RetryingCore third(clock, upstream.Port(), {}, folder.Spool());
    testsupport::PumpFor(300);
    EXPECT_EQ(third.outcomes.size(), 0u);
    EXPECT_EQ(upstream.Messages().size(), 1u);
}

TEST(StoreAndForward, ACutOrGarbledRetryRecordLeavesItsMessageToGoAtOnceAndOnce) {
    SpoolFolder folder;
    TestClock clock;
    int port = testsupport::FreePort();
    {
        RetryingCore first(clock, port, {}, folder.Spool());
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(first.Submit("me@x.example", "you@y.example", "m" + std::to_string(i)),
                      "250 OK \r\n");
        ASSERT_TRUE(first.WaitForDeferred(2));
        first.core->Shutdown();
    }
    auto records = folder.Named(".retry");
    ASSERT_EQ(records.size(), 2u);
    std::string cut = *platform::ReadFileBytes((folder.path / records[0]).string());
    ASSERT_TRUE(platform::WriteFileAtomically((folder.path / records[0]).string(),
                                              cut.substr(0, cut.size() / 2), 0600));
    ASSERT_TRUE(platform::WriteFileAtomically((folder.path / records[1]).string(),
                                              std::string("\x1b[2J\0garbage", 11), 0600));
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok());
    // Their records say nothing to trust: both go now, neither is lost.
    RetryingCore second(clock, upstream.Port(), {}, folder.Spool());
    ASSERT_TRUE(second.WaitForOutcomes(2));
    EXPECT_EQ(second.Listed(true), 2u);
    second.core->Shutdown();
    EXPECT_TRUE(folder.Named(".retry").empty());
    EXPECT_TRUE(folder.Named(".msg").empty());
    ASSERT_TRUE(upstream.WaitForMessages(2, 5000));
    testsupport::PumpFor(200);
    EXPECT_EQ(upstream.Messages().size(), 2u);
}

TEST(StoreAndForward, AClockThatJumpsNeitherStrandsAMessageNorFloodsTheUpstream) {
    testsupport::Upstream upstream({"--delay", "0.05"});
    ASSERT_TRUE(upstream.Ok());
    TestClock clock;
    RelayPolicy two;
    two.maxSessions = 2;
    int dead = testsupport::FreePort();
    RetryingCore h(clock, dead, two);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(h.Submit("me@x.example", "you@y.example", "j" + std::to_string(i)),
                  "250 OK \r\n");
    ASSERT_TRUE(h.WaitForDeferred(12));
    // Backwards by a day: every schedule now lies further ahead than any delay puts one, so
    // they go at once instead of waiting a day, two sessions at a time.
    h.core->SetAccountInForce(AccountTo(upstream.Port()));
    clock.Advance(-hours(24));
    h.core->RunDueRetries();
    EXPECT_EQ(h.core->DeferredCount(), 0u); // all handed over, to wait for a session
    ASSERT_TRUE(h.WaitForOutcomes(24));
    EXPECT_EQ(h.Listed(true), 12u);
    EXPECT_LE(h.core->PeakConnections(AccountTo(upstream.Port())), 2u);
    EXPECT_LE(upstream.Count("peak-sessions"), 2);
    // Forwards by a week: deferred ones fail for good with their reason (the lifetime is
    // over), each once, and none is lost.
    h.core->SetAccountInForce(AccountTo(dead));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(h.Submit("me@x.example", "you@y.example", "w" + std::to_string(i)),
                  "250 OK \r\n");
    ASSERT_TRUE(h.WaitForDeferred(3));
    clock.Advance(hours(24 * 7));
    h.core->RunDueRetries();
    ASSERT_TRUE(h.WaitForOutcomes(30));
    EXPECT_EQ(h.Listed(false), 3u);
    EXPECT_EQ(h.core->DeferredCount(), 0u);
}

TEST(StoreAndForward, AStartThatFindsManyWaitingMessagesSendsThemWithinTheSessionLimit) {
    SpoolFolder folder;
    testsupport::Upstream upstream({"--delay", "0.05"});
    ASSERT_TRUE(upstream.Ok());
    {
        store::Spool earlier(folder.Spool());
        for (int i = 0; i < 20; ++i) {
            auto id = earlier.Begin("me@x.example", "r" + std::to_string(i) + "@y.example");
            ASSERT_TRUE(id);
            earlier.Append(*id, "Subject: left " + std::to_string(i) + "\r\n\r\nx\r\n");
            ASSERT_TRUE(earlier.Commit(*id));
        }
        earlier.Flush();
    }
    TestClock clock;
    RelayPolicy three;
    three.maxSessions = 3;
    RetryingCore h(clock, upstream.Port(), three, folder.Spool());
    ASSERT_TRUE(h.WaitForOutcomes(20)) << h.Journal();
    EXPECT_EQ(h.Listed(true), 20u) << h.Journal();
    // Counted on both sides: the relay's sockets from before each connect to its close, and
    // the upstream's sessions from their connection to their QUIT or loss.
    EXPECT_LE(h.core->PeakConnections(AccountTo(upstream.Port())), 3u);
    EXPECT_GE(h.core->PeakConnections(AccountTo(upstream.Port())), 1u);
    EXPECT_LE(upstream.Count("peak-sessions"), 3) << h.Journal();
    EXPECT_GE(upstream.Count("peak-sessions"), 1);
}

TEST(StoreAndForward, TheQueueRetriesAndDeletesWhatItLists) {
    SpoolFolder folder;
    TestClock clock;
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok());
    int dead = testsupport::FreePort();
    RetryingCore h(clock, dead, {}, folder.Spool());
    int changes = 0;
    h.core->observers.queueChanged = [&] { ++changes; };
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(h.Submit("me@x.example", "q" + std::to_string(i) + "@y.example", "q"),
                  "250 OK \r\n");
    ASSERT_TRUE(h.WaitForDeferred(2));
    EXPECT_GE(changes, 1);
    auto queue = h.core->Queue();
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[0].size,
              static_cast<long long>(std::string("Subject: q\r\n\r\nbody\r\n").size()));
    EXPECT_GT(queue[0].received.time_since_epoch().count(), 0);
    // Delete the one, retry the other now through the upstream that is back.
    ASSERT_TRUE(h.core->DeleteQueued(queue[0]));
    EXPECT_FALSE(h.core->DeleteQueued(queue[0])); // gone already
    h.core->SetAccountInForce(AccountTo(upstream.Port()));
    ASSERT_TRUE(h.core->RetryNow(queue[1]));
    ASSERT_TRUE(h.WaitForOutcomes(3));
    EXPECT_TRUE(h.outcomes.back().relayed);
    EXPECT_TRUE(h.core->Queue().empty());
    h.core->Shutdown();
    EXPECT_TRUE(folder.Named(".msg").empty());
    EXPECT_TRUE(folder.Named(".retry").empty());
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages()[0].recipients,
              (std::vector<std::string>{queue[1].recipientText}));
}

} // namespace
