// The relay core without Qt: the real inbound server on a loopback port, raw clients and
// smtplib submitting, python3-aiosmtpd as the upstream. Slots, the delivery pool, streamed
// message text and the outcome batches.
#include "app/core/delivery_pool.h"
#include "app/core/local_peers.h"
#include "app/core/message_text.h"
#include "app/core/relay_core.h"
#include "platform/text_file.h"
#include "smtpclient/smtpsender.h"
#include "tests/app/core/core_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/upstream.h"
#include "tls/tls_openssl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <set>
#include <thread>
#include <unistd.h>

using namespace app;

namespace {

// TLS is installed as the program installs it at start.
const bool kTlsInstalled = tls::InitTlsModule();

TEST(RelayCoreTest, ASlotIsFreeAgainOnceItsMessageIsComplete) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 4);
    // Eleven connections stay open after their message, as mail programs keep them: the
    // eleventh MAIL still finds a slot.
    std::vector<std::unique_ptr<Submitter>> open;
    for (int i = 0; i < 11; ++i) {
        open.push_back(std::make_unique<Submitter>(h.port));
        EXPECT_EQ(open.back()->Message("s" + std::to_string(i) + "@x.example", "r@y.example",
                                       "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n"),
                  "250 OK \r\n")
            << i;
    }
    EXPECT_EQ(RelayCoreProbe::Ring(*h.core).Filling(), 0u);
    ASSERT_TRUE(h.WaitForOutcomes(11));
    for (const auto& outcome : h.outcomes) EXPECT_TRUE(outcome.relayed);
    // A second message on an open connection binds again and goes out on its own.
    EXPECT_EQ(open[0]->Message("again@x.example", "r2@y.example", "Subject: again\r\n\r\nx\r\n"),
              "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(12));
    ASSERT_TRUE(upstream.WaitForMessages(12, 10000));
    EXPECT_EQ(upstream.Messages().back().recipients, (std::vector<std::string>{"r2@y.example"}));
    // Each session greets with its message's first recipient's name, as the relay always has.
    EXPECT_EQ(upstream.Messages().back().helloName, "r2");
}

TEST(RelayCoreTest, SecondDataOfTheSameEnvelopeIsItsOwnMessage) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 2);
    Submitter c(h.port);
    EXPECT_EQ(c.Message("a@x.example", "r@y.example", "Subject: one\r\n\r\n1\r\n"), "250 OK \r\n");
    EXPECT_EQ(c.Command("DATA\r\n").substr(0, 3), "354");
    EXPECT_EQ(c.Command("Subject: two\r\n\r\n2\r\n.\r\n"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(2));
    ASSERT_TRUE(upstream.WaitForMessages(2, 10000));
    auto stored = upstream.Messages();
    std::set<std::string> subjects;
    for (const auto& m : stored) {
        EXPECT_EQ(m.recipients, (std::vector<std::string>{"r@y.example"}));
        subjects.insert(m.content.substr(0, 12));
    }
    // Neither message carries the other's text.
    EXPECT_EQ(subjects, (std::set<std::string>{"Subject: one", "Subject: two"}));
    for (const auto& m : stored) EXPECT_EQ(m.content.find("Subject", 1), std::string::npos);
}

// An account line serving `sender` through the upstream on `port` as `mailbox`.
std::string AccountFor(const std::string& sender, const std::string& mailbox, int port) {
    Account account;
    account.mailbox = mailbox;
    account.usedBy = sender;
    account.host = "127.0.0.1";
    account.port = std::to_string(port);
    return AccountLine(account);
}

TEST(RelayCoreTest, AMessageKeepsTheAccountOfItsMailWhenAnotherSenderOverlapsIt) {
    testsupport::Upstream good, hostile;
    ASSERT_TRUE(good.Ok() && hostile.Ok());
    CoreHarness h(std::to_string(good.Port()), 2);
    h.core->SetAccountList(
        {AccountFor("good@local.test", "goodbox@example.org", good.Port()),
         AccountFor("hostile@local.test", "hostilebox@example.org", hostile.Port())});
    Submitter a(h.port), b(h.port);
    a.Command("MAIL FROM:<good@local.test>\r\n");
    a.Command("RCPT TO:<r@y.example>\r\n");
    EXPECT_EQ(a.Command("DATA\r\n").substr(0, 3), "354");
    testsupport::SendAll(a.fd, "Subject: from good\r\n\r\nfirst half\r\n");
    testsupport::PumpFor(30);
    // B's MAIL selects its account into force while A's text is still arriving.
    EXPECT_EQ(b.Command("MAIL FROM:<hostile@local.test>\r\n").substr(0, 3), "250");
    EXPECT_EQ(h.core->AccountInForce().mailbox, "hostilebox@example.org");
    EXPECT_EQ(a.Command("second half\r\n.\r\n"), "250 OK \r\n");
    b.Command("RCPT TO:<r@y.example>\r\n");
    b.Command("DATA\r\n");
    EXPECT_EQ(b.Command("Subject: from hostile\r\n\r\nx\r\n.\r\n"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(2));
    ASSERT_TRUE(good.WaitForMessages(1, 10000));
    ASSERT_TRUE(hostile.WaitForMessages(1, 10000));
    EXPECT_EQ(good.Messages()[0].sender, "goodbox@example.org");
    EXPECT_NE(good.Messages()[0].content.find("from good"), std::string::npos);
    EXPECT_EQ(hostile.Messages()[0].sender, "hostilebox@example.org");
    EXPECT_NE(hostile.Messages()[0].content.find("from hostile"), std::string::npos);
    // Each record names its own account and sender, whichever finished first.
    for (const DeliveryOutcome& outcome : h.outcomes) {
        bool fromGood = outcome.sender == "good@local.test";
        EXPECT_EQ(outcome.mailbox, fromGood ? "goodbox@example.org" : "hostilebox@example.org");
        std::string expected = std::string(fromGood ? "goodbox@example.org/From:good@local.test"
                                                    : "hostilebox@example.org/From:hostile@"
                                                      "local.test");
        EXPECT_NE(outcome.logLine.find(expected), std::string::npos) << outcome.logLine;
    }
}

TEST(RelayCoreTest, ManyClientsWithFourSendersEachReachTheirOwnSendersUpstream) {
    constexpr int kSenders = 4, kClients = 16, kMessages = 1000;
    std::vector<std::unique_ptr<testsupport::Upstream>> upstreams;
    StringList accounts;
    for (int i = 0; i < kSenders; ++i) {
        upstreams.push_back(std::make_unique<testsupport::Upstream>());
        ASSERT_TRUE(upstreams.back()->Ok());
        accounts.push_back(AccountFor("s" + std::to_string(i) + "@local.test",
                                      "box" + std::to_string(i) + "@example.org",
                                      upstreams.back()->Port()));
    }
    CoreHarness h(std::to_string(upstreams[0]->Port()), 8);
    h.core->SetAccountList(accounts);
    auto run = SendFromClients(h.port, kClients, kMessages, kSenders);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_TRUE(h.WaitForOutcomes(kMessages, 120000));
    size_t received = 0;
    for (int i = 0; i < kSenders; ++i) {
        std::string sender = "s" + std::to_string(i) + "@local.test";
        ASSERT_TRUE(upstreams[i]->WaitForMessages(kMessages / kSenders, 30000));
        for (const auto& message : upstreams[i]->Messages()) {
            ++received;
            EXPECT_EQ(message.sender, "box" + std::to_string(i) + "@example.org");
            EXPECT_EQ(message.content.rfind("Subject: " + sender + " ", 0), 0u) << message.content;
        }
    }
    EXPECT_EQ(received, static_cast<size_t>(kMessages));
    for (const DeliveryOutcome& outcome : h.outcomes) {
        ASSERT_TRUE(outcome.relayed) << outcome.reason;
        std::string box = "box" + outcome.sender.substr(1, 1) + "@example.org";
        EXPECT_EQ(outcome.mailbox, box);
        EXPECT_NE(outcome.logLine.find(box + "/From:" + outcome.sender + "/"), std::string::npos)
            << outcome.logLine;
    }
}

TEST(RelayCoreTest, MoreMessagesThanWorkersAreEachDeliveredOnce) {
    testsupport::Upstream upstream({"--delay", "0.2"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 2);
    const int kMessages = 12;
    Submitter c(h.port);
    for (int i = 0; i < kMessages; ++i)
        ASSERT_EQ(c.Message("a@x.example", "r@y.example",
                            "Subject: n" + std::to_string(i) + "\r\n\r\nbody\r\n"),
                  "250 OK \r\n");
    EXPECT_EQ(h.core->Workers(), 2u);
    ASSERT_TRUE(h.WaitForOutcomes(kMessages));
    EXPECT_EQ(h.outcomes.size(), static_cast<size_t>(kMessages));
    ASSERT_TRUE(upstream.WaitForMessages(kMessages, 10000));
    std::multiset<std::string> subjects;
    for (const auto& m : upstream.Messages())
        subjects.insert(m.content.substr(0, m.content.find("\r\n")));
    for (int i = 0; i < kMessages; ++i)
        EXPECT_EQ(subjects.count("Subject: n" + std::to_string(i)), 1u) << i;
    EXPECT_EQ(subjects.size(), static_cast<size_t>(kMessages));
    // Outcomes reach the owner in batches, not one wake-up each.
    EXPECT_LE(h.batches, kMessages);
}

TEST(RelayCoreTest, UpstreamSessionsCarrySeveralMessagesAndEndWithQuitOnceIdle) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 2, [](RelayCoreOptions& options) {
        options.keptSessionIdle = std::chrono::milliseconds(1000);
    });
    Submitter c(h.port);
    const size_t kMessages = 6;
    for (size_t i = 0; i < kMessages; ++i) {
        ASSERT_EQ(c.Message("a@x.example", "r@y.example", "Subject: k\r\n\r\nbody\r\n"),
                  "250 OK \r\n");
        ASSERT_TRUE(h.WaitForOutcomes(i + 1));
    }
    ASSERT_TRUE(upstream.WaitForMessages(kMessages, 10000));
    // One message at a time: the session the last one used is free for the next.
    EXPECT_EQ(testsupport::SessionPorts(upstream.Messages()).size(), 1u);
    EXPECT_EQ(h.core->KeptSessions(), 1u);
    // Idle sessions end by themselves while the loop runs, politely.
    EXPECT_TRUE(testsupport::PumpUntil([&] { return h.core->KeptSessions() == 0; }, 5000));
    EXPECT_TRUE(testsupport::PumpUntil([&] { return upstream.QuitPorts().size() == 1; }, 5000));
}

TEST(RelayCoreTest, OutcomePassesComeAtMostOncePerFiftyMillisecondsAndLoseNothing) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 4);
    std::vector<std::chrono::steady_clock::time_point> passes;
    std::set<uint64_t> serials;
    h.core->observers.outcomes = [&](const std::vector<DeliveryOutcome>& batch) {
        passes.push_back(std::chrono::steady_clock::now());
        for (const auto& outcome : batch) {
            serials.insert(outcome.serial);
            h.outcomes.push_back(outcome);
        }
    };
    const int kMessages = 30;
    Submitter c(h.port);
    for (int i = 0; i < kMessages; ++i)
        ASSERT_EQ(c.Message("a@x.example", "r@y.example",
                            "Subject: p" + std::to_string(i) + "\r\n\r\nbody\r\n"),
                  "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(kMessages));
    EXPECT_EQ(h.outcomes.size(), static_cast<size_t>(kMessages));
    EXPECT_EQ(serials.size(), static_cast<size_t>(kMessages)); // each reported once
    // Passes start at least 50 ms apart; measured here, after each pass's own work, one
    // pass's delay may shorten the next gap, so the bound is taken over the whole run.
    ASSERT_FALSE(passes.empty());
    auto span =
        std::chrono::duration_cast<std::chrono::milliseconds>(passes.back() - passes.front());
    EXPECT_LE(passes.size(), static_cast<size_t>(span.count() / 50 + 2))
        << passes.size() << " passes in " << span.count() << " ms";
}

TEST(RelayCoreTest, WhileClientsAreAnsweredAnOutcomePassWaitsForACommandDelayAtMostItsWait) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    for (bool waitForever : {true, false}) {
        CoreHarness h(std::to_string(upstream.Port()), 2, [&](RelayCoreOptions& options) {
            options.busySpan = std::chrono::hours(1); // any delay ever begun: busy
            if (waitForever) options.quietWait = std::chrono::hours(1);
        });
        h.core->SetReplyDelay(3);
        size_t before = upstream.Messages().size();
        Submitter c(h.port);
        EXPECT_EQ(c.Message("s@x.example", "r@y.example", "Subject: q\r\n\r\nx\r\n"),
                  "250 OK \r\n");
        ASSERT_TRUE(upstream.WaitForMessages(before + 1, 10000));
        if (!waitForever) {
            // No further command: the pass still comes, after its wait.
            EXPECT_TRUE(h.WaitForOutcomes(1));
            continue;
        }
        testsupport::PumpFor(300); // relayed and queued, but the client may send any moment
        EXPECT_TRUE(h.outcomes.empty());
        // The next command's delay is the moment: the pass comes before its reply.
        EXPECT_EQ(c.Command("NOOP\r\n").substr(0, 3), "250");
        ASSERT_EQ(h.outcomes.size(), 1u);
        EXPECT_TRUE(h.outcomes[0].relayed) << h.outcomes[0].reason;
    }
}

TEST(RelayCoreTest, TwentyMegabyteMessageArrivesByteIdentical) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 2);
    std::string body = "Subject: big\r\n\r\n";
    for (int i = 0; body.size() < 20u * 1024 * 1024; ++i)
        body +=
            (i % 100 == 0 ? "." : "") + std::string(70, static_cast<char>('a' + i % 26)) + "\r\n";
    Submitter c(h.port);
    EXPECT_EQ(c.LargeMessage("big@x.example", "r@y.example", body), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1, 60000));
    EXPECT_TRUE(h.outcomes[0].relayed);
    ASSERT_TRUE(upstream.WaitForMessages(1, 30000));
    std::string content = upstream.Messages()[0].content;
    EXPECT_EQ(content.size(), body.size());
    EXPECT_TRUE(content == body);
}

TEST(RelayCoreTest, PoolRunsEveryJobOnceWithNoMoreThreadsThanItsLimit) {
    DeliveryPool pool(3);
    std::atomic<int> running{0}, most{0}, done{0}, batch{0};
    for (int i = 0; i < 40; ++i)
        pool.Submit([&] {
            // Background work: a worker must not cut into the thread that answers clients.
            if (sched_getscheduler(0) == SCHED_BATCH) ++batch;
            int now = ++running;
            for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --running;
            ++done;
        });
    for (int i = 0; i < 2000 && done < 40; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(done, 40);
    EXPECT_EQ(batch, 40);
    EXPECT_LE(most, 3);
    EXPECT_LE(pool.Workers(), 3u);
    EXPECT_GE(DeliveryPool::WorkersForDescriptorLimit(), 4u);
    EXPECT_LE(DeliveryPool::WorkersForDescriptorLimit(), 256u);
}

TEST(RelayCoreTest, PieceLinesCutAsTheyAreTakenAndSizeAsTheClientCounts) {
    const std::vector<StringList> texts = {
        {"Subject: x\r\n\r\nli", "ne one\r", "\nline two\r\n"},
        {"no end"},
        {"a\r", "b\r", "\n"},
        {"x\r\n\r\n", "y\r"},
        {"\r\n"},
        {},
        {"", "a", "", "\r", "\n", ""},
    };
    for (const StringList& pieces : texts) {
        StringList copy = pieces;
        PieceLines source(std::move(copy));
        std::string joined;
        for (const auto& p : pieces) joined += p;
        StringList expected = MessageLines(StringList(pieces));
        EXPECT_EQ(source.Size(), smtpclient::MessageSize(smtpclient::TVectorLineSource(expected)))
            << joined;
        StringList taken;
        for (std::string line; source.Next(line);) taken.push_back(line);
        EXPECT_EQ(taken, expected) << joined;
    }
    // Joined and cut: no line break at a piece boundary, none added at the end.
    EXPECT_EQ(MessageLines(StringList{"a\r", "b\r", "\n"}), (StringList{"a\rb"}));
}

} // namespace

namespace {

TEST(RelayCoreTest, ARcptToALocalNameGoesToItsAliasOrIsRefusedWithHowToGiveItOne) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    testsupport::TempFolder folder("local-names");
    ASSERT_TRUE(platform::WriteFileAtomically(
        folder / "aliases", "root: admin\nadmin: me@corp.test, boss@corp.test\n", 0600));
    ASSERT_TRUE(platform::WriteFileAtomically(folder / "system-aliases", "www: root\n", 0644));
    CoreHarness h(std::to_string(upstream.Port()), 2, [&](RelayCoreOptions& options) {
        options.folder = folder.path.string() + "/";
        options.systemAliases = folder / "system-aliases";
    });
    Submitter client(h.port);
    EXPECT_EQ(client.Command("RCPT TO:<root>\r\n").substr(0, 3), "503"); // MAIL first, still
    EXPECT_EQ(client.Command("MAIL FROM:<cron@pc.test>\r\n").substr(0, 3), "250");
    EXPECT_EQ(client.Command("RCPT TO:<www>\r\n").substr(0, 3), "250");
    std::string refused = client.Command("RCPT TO:<nobody>\r\n");
    EXPECT_EQ(refused.substr(0, 10), "550 5.1.1 ") << refused;
    EXPECT_NE(refused.find("\"nobody\" is a local name with no alias"), std::string::npos);
    EXPECT_NE(refused.find(folder / "aliases"), std::string::npos) << refused;
    EXPECT_EQ(client.Command("RCPT TO:<Kalvex@Corp.Test>\r\n").substr(0, 3), "250");
    EXPECT_EQ(client.Command("DATA\r\n").substr(0, 3), "354");
    EXPECT_EQ(client.Command("Subject: cron\r\n\r\nran\r\n.\r\n"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    EXPECT_EQ(upstream.Messages()[0].recipients,
              (std::vector<std::string>{"me@corp.test", "boss@corp.test", "Kalvex@Corp.Test"}));
}

TEST(RelayPolicyTest, APeerThatIsNotThisMachineIsRefusedAtHeloUnlessAllowed) {
    std::vector<std::string> asked;
    auto nobodyIsLocal = [&](RelayCoreOptions& options) {
        options.isLocalPeer = [&](const std::string& address) {
            asked.push_back(address);
            return false;
        };
    };
    CoreHarness refusing("1", 1, nobodyIsLocal);
    Submitter stranger(refusing.port);
    EXPECT_EQ(stranger.helloReply, "550 User pc from IP127.0.0.1 is not allowed\r\n");
    EXPECT_EQ(stranger.Command("MAIL FROM:<a@b.example>\r\n"),
              "550 mailbox unavailable or not logged in\r\n");
    EXPECT_TRUE(testsupport::WaitForClose(stranger.fd, 5000));
    EXPECT_EQ(asked, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(RelayCoreProbe::Ring(*refusing.core).Filling(), 0u);

    CoreHarness allowing("1", 1, nobodyIsLocal);
    allowing.core->SetPolicy(RelayPolicy{true, true});
    Submitter allowed(allowing.port);
    EXPECT_EQ(allowed.helloReply, "250 OK User pc from IP 127.0.0.1 is welcome\r\n");
}

TEST(RelayPolicyTest, AProgramOnIpv6LoopbackIsLocalAndItsMessageIsRelayed) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::vector<std::string> asked;
    CoreHarness h(std::to_string(upstream.Port()), 2, [&](RelayCoreOptions& options) {
        options.isLocalPeer = [&](const std::string& address) {
            asked.push_back(address);
            return IsThisMachine(address);
        };
    });
    if (h.core->ListeningIpv6().empty()) GTEST_SKIP() << "no IPv6 here: " << h.core->Ipv6Problem();
    EXPECT_EQ(h.core->ListeningIpv6(), "::1"); // beside 127.0.0.1, the loopback of IPv6
    int fd = testsupport::ConnectLoopbackV6(h.port);
    ASSERT_GE(fd, 0);
    Submitter six(Submitter::Connected{fd});
    EXPECT_EQ(six.helloReply, "250 OK User pc from IP ::1 is welcome\r\n");
    EXPECT_EQ(six.Message("six@x.example", "r@y.example", "Subject: over ::1\r\n\r\nx\r\n"),
              "250 OK \r\n");
    EXPECT_EQ(asked, std::vector<std::string>{"::1"});
    ASSERT_TRUE(h.WaitForOutcomes(1));
    EXPECT_TRUE(h.outcomes[0].relayed) << h.outcomes[0].reason;
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages()[0].content, "Subject: over ::1\r\n\r\nx\r\n");
}

TEST(RelayPolicyTest, LoopbackAndOwnAddressesAreLocal) {
    for (const char* local : {"127.0.0.1", "127.200.3.4", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(IsLoopbackAddress(local)) << local;
    for (const char* other : {"10.0.0.5", "128.0.0.1", "::2", "fe80::1", "", "localhost"})
        EXPECT_FALSE(IsLoopbackAddress(other)) << other;
    std::vector<std::string> own = {"192.168.1.20", "fd00::20"};
    EXPECT_TRUE(IsLocalPeer("192.168.1.20", own));
    EXPECT_TRUE(IsLocalPeer("::ffff:192.168.1.20", own));
    EXPECT_TRUE(IsLocalPeer("fd00::20", own));
    EXPECT_TRUE(IsLocalPeer("127.0.0.1", {}));
    EXPECT_FALSE(IsLocalPeer("192.168.1.21", own));
    EXPECT_FALSE(IsLocalPeer("fd00::21", own));
    // The machine's own list holds at least the loopback interface's address.
    auto mine = OwnAddresses();
    EXPECT_NE(std::find(mine.begin(), mine.end(), "127.0.0.1"), mine.end());
}

TEST(RelayPolicyTest, SelfSignedUpstreamFailsWithItsReasonUntilVerificationIsOff) {
    testsupport::Upstream upstream({"--implicit", testsupport::TestCertificate()});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 2);
    Account account = h.core->AccountInForce();
    account.implicitTls = true;
    h.core->SetAccountInForce(account);
    Submitter client(h.port);
    EXPECT_EQ(client.Message("me@x.example", "you@y.example", "Subject: 1\r\n\r\nx\r\n"),
              "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    EXPECT_FALSE(h.outcomes[0].relayed);
    EXPECT_NE(h.outcomes[0].reason.find("certificate verify failed"), std::string::npos)
        << h.outcomes[0].reason;

    h.core->SetPolicy(RelayPolicy{false, false});
    EXPECT_EQ(client.Message("me@x.example", "you@y.example", "Subject: 2\r\n\r\nx\r\n"),
              "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_TRUE(h.outcomes[1].relayed) << h.outcomes[1].reason;
    EXPECT_EQ(h.outcomes[1].reason, "");
    EXPECT_TRUE(upstream.WaitForMessages(1, 5000));
}

TEST(RelayPolicyTest, EveryOutcomeWritesOneJournalLine) {
    testsupport::Upstream upstream({"--refuse-rcpt", "gone@y.example"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 1);
    Submitter client(h.port);
    client.Message("me@x.example", "you@y.example", "Subject: a\r\n\r\nbody\r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    client.Message("me@x.example", "gone@y.example", "Subject: b\r\n\r\nbody\r\n");
    ASSERT_TRUE(h.WaitForOutcomes(2));
    ASSERT_EQ(h.journal.size(), 2u);
    auto fields = [](const std::string& line) { return line.substr(20); }; // after the time
    EXPECT_EQ(fields(h.journal[0])
                  .rfind("delivery relayed mailbox=relay@mail.example "
                         "from=me@x.example to=you@y.example size=20 duration=",
                         0),
              0u)
        << h.journal[0];
    EXPECT_EQ(h.journal[0].find("reason="), std::string::npos);
    EXPECT_NE(h.journal[1].find(" delivery failed mailbox=relay@mail.example from=me@x.example "
                                "to=gone@y.example size=20 duration="),
              std::string::npos)
        << h.journal[1];
    EXPECT_NE(h.journal[1].find(
                  "ms reason=RCPT TO:<gone@y.example> refused: 550 5.1.1 no such user here"),
              std::string::npos)
        << h.journal[1];
}

// A second network stack (a namespace joined to ours by a veth pair), so that a real session
// comes from an address that is not this machine's. Needs root and iproute2.
struct ForeignNetwork {
    std::string name = "vantro" + std::to_string(getpid() % 100000);
    std::string hostSide = "vh" + std::to_string(getpid() % 100000);
    std::string ourAddress = "10.231.77.1";
    std::string theirAddress = "10.231.77.2";
    bool ok = false;

    ForeignNetwork() {
        if (geteuid() != 0 || access("/usr/sbin/ip", X_OK) != 0) return;
        std::string peer = hostSide + "p";
        ok = Run({"ip", "netns", "add", name}) &&
             Run({"ip", "link", "add", hostSide, "type", "veth", "peer", "name", peer}) &&
             Run({"ip", "link", "set", peer, "netns", name}) &&
             Run({"ip", "addr", "add", ourAddress + "/30", "dev", hostSide}) &&
             Run({"ip", "link", "set", hostSide, "up"}) &&
             Run({"ip", "netns", "exec", name, "ip", "addr", "add", theirAddress + "/30", "dev",
                  peer}) &&
             Run({"ip", "netns", "exec", name, "ip", "link", "set", peer, "up"});
    }
    ~ForeignNetwork() {
        Run({"ip", "link", "del", hostSide});
        Run({"ip", "netns", "del", name});
    }
    static bool Run(const std::vector<std::string>& argv) {
        return testsupport::RunProcess(argv, "", 10000).exitCode == 0;
    }
};

TEST(RelayPolicyTest, ARealSessionFromAnotherMachineIsRefusedAtHelo) {
    ForeignNetwork network;
    if (!network.ok) GTEST_SKIP() << "no network namespace here (needs root and iproute2)";
    CoreHarness h("1", 1, [](RelayCoreOptions& options) { options.srvAddr = "0.0.0.0"; });
    const char* script = R"PY(
import socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5)
f = s.makefile("rb")
print(f.readline().decode().strip())
s.sendall(b"HELO stranger\r\n")
print(f.readline().decode().strip())
s.sendall(b"MAIL FROM:<a@b.example>\r\n")
print(f.readline().decode().strip())
print("closed" if f.readline() == b"" else "open")
)PY";
    auto result =
        testsupport::RunWhilePumping({"ip", "netns", "exec", network.name, "/usr/bin/python3", "-c",
                                      script, network.ourAddress, std::to_string(h.port)},
                                     "", 20000);
    EXPECT_EQ(result.output, "220 220  SMTP Server Ready.Welcome to TcpSrv\n"
                             "550 User stranger from IP" +
                                 network.theirAddress +
                                 " is not allowed\n"
                                 "550 mailbox unavailable or not logged in\n"
                                 "closed\n");
    // The same server still serves this machine.
    Submitter local(h.port);
    EXPECT_EQ(local.helloReply, "250 OK User pc from IP 127.0.0.1 is welcome\r\n");
}

TEST(RelayPolicyTest, AnIPv6HostTypedWithoutBracketsIsReached) {
    int port = 0;
    int listener = testsupport::ListenLoopbackV6(port);
    if (listener < 0) GTEST_SKIP() << "no IPv6 loopback here";
    std::thread server = testsupport::AnswerOnce(listener, "554 5.7.1 not you\r\n");
    Account account;
    account.host = "::1";
    account.port = std::to_string(port);
    const std::vector<std::string> text = {"x"};
    smtpclient::TVectorLineSource lines(text);
    smtpclient::TRelayReport report;
    EXPECT_FALSE(RelayThrough(account, RelaySettings{"pc", 5000, true, nullptr, nullptr, {}},
                              "a@b.example", lines, report));
    EXPECT_EQ(report.reason, "greeting refused: 554 5.7.1 not you");
    server.join();
    ::close(listener);
}

} // namespace

namespace {

TEST(RelayCoreTest, AnAccountThatPointsAtTheRelayItselfFailsAtOnceWithoutAConnection) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        CoreHarness h("0", 2);
        Account account = h.core->AccountInForce();
        account.host = host;
        account.port = std::to_string(h.port); // the relay's own port
        h.core->SetAccountInForce(account);
        Submitter client(h.port);
        EXPECT_EQ(client.Message("a@x.example", "r@y.example", "Subject: loop\r\n\r\nx\r\n"),
                  "250 OK \r\n");
        ASSERT_TRUE(h.WaitForOutcomes(1));
        testsupport::PumpFor(200); // a relay to itself would have brought a second message
        ASSERT_EQ(h.outcomes.size(), 1u) << host;
        EXPECT_FALSE(h.outcomes[0].relayed);
        EXPECT_FALSE(h.outcomes[0].failedWithError); // a failure line, kept for a resend
        EXPECT_NE(h.outcomes[0].reason.find("is this relay itself"), std::string::npos)
            << h.outcomes[0].reason;
        EXPECT_EQ(h.core->Records(ListKind::Failed).Count(), 1u);
    }
}

} // namespace
