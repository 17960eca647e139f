// Nothing accepted is lost: the relay core writes every message to the spool before its
// "250 OK ", hands on what an earlier run left, keeps failures for a resend and stops at an
// exit without sending anything twice.
#include "app/core/relay_core.h"
#include "platform/text_file.h"
#include "store/spool.h"
#include "tests/app/core/core_harness.h"
#include "tests/store/spool_folder.h"
#include "tests/support/loopback.h"
#include "tests/support/upstream.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace app;
namespace fs = std::filesystem;

namespace {

// A core relaying to `upstreamPort` with its spool in `folder`.
struct SpoolingCore : CoreHarness {
    SpoolingCore(const std::string& folder, const std::string& upstreamPort, int graceMs = 10000)
        : CoreHarness(upstreamPort, 4, [&](RelayCoreOptions& options) {
              options.relayTimeoutMs = 10000;
              options.spoolFolder = folder;
              options.shutdownGraceMs = graceMs;
          }) {}
    // One message over a fresh connection; the reply to its end of data.
    std::string Submit(const std::string& to, const std::string& subject) {
        int fd = testsupport::ConnectLoopback(port);
        std::string reply;
        auto exchange = [&](const std::string& text) {
            if (!text.empty()) testsupport::SendAll(fd, text);
            testsupport::PumpUntil(
                [&] {
                    char c;
                    reply.clear();
                    while (::recv(fd, &c, 1, MSG_DONTWAIT) == 1) {
                        reply += c;
                        if (reply.size() >= 2 && reply.substr(reply.size() - 2) == "\r\n")
                            return true;
                    }
                    return false;
                },
                5000);
            return reply;
        };
        for (const std::string& step :
             {std::string(), std::string("HELO pc\r\n"),
              std::string("MAIL FROM:<me@x.example>\r\n"), "RCPT TO:<" + to + ">\r\n",
              std::string("DATA\r\n"), "Subject: " + subject + "\r\n\r\nbody\r\n.\r\n"}) {
            // Lines of the reply arrive one at a time; only the last matters here.
            exchange(step);
        }
        testsupport::CloseFd(fd);
        return reply;
    }
};

TEST(SpoolingRelay, AFailedMessageIsKeptAndResentThroughTheAccountInForce) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream refusing({"--refuse-rcpt", "you@y.example"});
    testsupport::Upstream accepting;
    ASSERT_TRUE(refusing.Ok() && accepting.Ok());
    SpoolingCore h(folder.path.string(), std::to_string(refusing.Port()));
    EXPECT_EQ(h.Submit("you@y.example", "kept"), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    ASSERT_FALSE(h.outcomes[0].relayed);
    const uint64_t record = h.outcomes[0].recordId;
    const Record* failure = h.core->Records(ListKind::Failed).Find(record);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->line, h.outcomes[0].logLine);
    EXPECT_EQ(failure->reason, "RCPT TO:<you@y.example> refused: 550 5.1.1 no such user here");
    EXPECT_FALSE(failure->spoolId.empty());
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{".failed", ".msg"}));

    Account account = h.core->AccountInForce();
    account.port = std::to_string(accepting.Port());
    h.core->SetAccountInForce(account);
    EXPECT_TRUE(h.core->Resend(record));
    EXPECT_FALSE(h.core->Resend(record)); // no longer a kept failure
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_TRUE(h.outcomes[1].relayed);
    ASSERT_TRUE(accepting.WaitForMessages(1, 5000));
    EXPECT_EQ(accepting.Messages()[0].content, "Subject: kept\r\n\r\nbody\r\n");
    RelayCoreProbe::Spool(*h.core).Flush();
    EXPECT_TRUE(folder.Names().empty());
}

TEST(SpoolingRelay, ResendAllAndDeleteActOnlyOnKeptMessages) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream refusing(
        {"--refuse-rcpt", "a@y.example", "--refuse-rcpt", "b@y.example"});
    ASSERT_TRUE(refusing.Ok());
    SpoolingCore h(folder.path.string(), std::to_string(refusing.Port()));
    h.Submit("a@y.example", "a");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    h.Submit("b@y.example", "b");
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_TRUE(h.core->DeleteKept(h.outcomes[0].recordId));
    EXPECT_FALSE(h.core->Resend(h.outcomes[0].recordId)); // deleted: its line is only a record
    EXPECT_NE(h.core->Records(ListKind::Failed).Find(h.outcomes[0].recordId), nullptr);
    // Clearing the lists leaves the kept message to be resent: a record goes, mail does not.
    h.core->ClearRecords();
    EXPECT_EQ(h.core->Records(ListKind::Failed).Count(), 0u);
    EXPECT_EQ(h.core->KeptFailures(), 1u);
    EXPECT_EQ(h.core->ResendAll(), 1u);
    ASSERT_TRUE(h.WaitForOutcomes(3));
    EXPECT_EQ(h.outcomes[2].recipientText, "b@y.example");
    EXPECT_FALSE(h.outcomes[2].relayed);
}

TEST(SpoolingRelay, EqualFailureLinesKeepEveryMessage) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream refusing({"--refuse-rcpt", "a@y.example"});
    ASSERT_TRUE(refusing.Ok());
    SpoolingCore h(folder.path.string(), std::to_string(refusing.Port()));
    h.Submit("a@y.example", "one");
    h.Submit("a@y.example", "two"); // same sender and recipient: the same line within a second
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_EQ(h.core->KeptFailures(), 2u);
    EXPECT_TRUE(h.core->Resend(h.outcomes[1].recordId));
    // That line's own message went, though the lines may be equal; the other stays kept.
    const RecordList& failed = h.core->Records(ListKind::Failed);
    EXPECT_TRUE(failed.Find(h.outcomes[1].recordId)->spoolId.empty());
    EXPECT_EQ(failed.Find(h.outcomes[0].recordId)->spoolId, h.outcomes[0].spoolId);
    EXPECT_EQ(h.core->ResendAll(), 1u);
    ASSERT_TRUE(h.WaitForOutcomes(4));
    EXPECT_EQ(h.core->KeptFailures(), 2u); // refused again, kept again
}

TEST(SpoolingRelay, NoSpoolFileIsSkippedUnreadableOnesAreSetAsideAndNewOnesGoOutWhileRunning) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok());
    fs::create_directory(folder.path); // as an earlier run of the relay made it
    fs::permissions(folder.path, fs::perms::owner_all);
    std::string error;
    auto waiting =
        store::SpoolWholeMessage(folder.path.string(), "me@x.example", "r@y.example",
                                 store::WholeText("Subject: waited\r\n\r\nx\r\n"), error);
    ASSERT_TRUE(waiting) << error;
    // What "-f $'me@x\r\nx'" once wrote: a header the relay cannot read.
    ASSERT_TRUE(platform::WriteFileAtomically((folder.path / "0-bad.msg").string(),
                                              "VANTRO-SPOOL 1\r\nme@x\r\nx\r\nr@y\r\n", 0600));
    auto core = std::make_unique<CoreHarness>(std::to_string(upstream.Port()), 2,
                                              [&](RelayCoreOptions& options) {
                                                  options.spoolFolder = folder.path.string();
                                                  options.spoolScan = std::chrono::milliseconds(20);
                                              });
    ASSERT_TRUE(core->WaitForOutcomes(1));
    auto said = std::find_if(core->journal.begin(), core->journal.end(), [](const std::string& l) {
        return l.find("0-bad.msg cannot be read") != std::string::npos;
    });
    ASSERT_NE(said, core->journal.end());
    EXPECT_NE(said->find("kept aside as 0-bad.unreadable"), std::string::npos) << *said;
    EXPECT_TRUE(fs::exists(folder.path / "0-bad.unreadable"));
    EXPECT_FALSE(fs::exists(folder.path / "0-bad.msg"));
    auto queued = [&] {
        std::vector<QueuedMessage> failed;
        for (const QueuedMessage& message : core->core->Queue())
            if (message.failed) failed.push_back(message);
        return failed;
    };
    ASSERT_EQ(queued().size(), 1u);
    EXPECT_EQ(queued()[0].spoolId, "0-bad");
    EXPECT_NE(queued()[0].lastReason.find("cannot be read"), std::string::npos);

    // Spooled by the command while the relay runs, and garbage dropped beside it.
    auto late = store::SpoolWholeMessage(folder.path.string(), "me@x.example", "late@y.example",
                                         store::WholeText("Subject: late\r\n\r\nx\r\n"), error);
    ASSERT_TRUE(late) << error;
    ASSERT_TRUE(platform::WriteFileAtomically((folder.path / "1-junk.msg").string(), "junk", 0600));
    ASSERT_TRUE(core->WaitForOutcomes(2));
    ASSERT_TRUE(upstream.WaitForMessages(2, 5000));
    EXPECT_TRUE(testsupport::PumpUntil([&] { return queued().size() == 2; }, 5000));
    testsupport::PumpFor(200); // more scans: nothing goes twice
    EXPECT_EQ(upstream.Messages().size(), 2u);
    EXPECT_EQ(upstream.Messages()[1].recipients, std::vector<std::string>{"late@y.example"});
    core->core->Shutdown();
    core.reset();

    // The next start lists what was set aside again; the user's delete removes it.
    CoreHarness again(std::to_string(upstream.Port()), 2, [&](RelayCoreOptions& options) {
        options.spoolFolder = folder.path.string();
    });
    std::vector<QueuedMessage> aside = again.core->Queue();
    ASSERT_EQ(aside.size(), 2u);
    for (const QueuedMessage& message : aside) EXPECT_TRUE(again.core->DeleteQueued(message));
    again.core->Shutdown();
    EXPECT_TRUE(folder.Names().empty());
    EXPECT_EQ(upstream.Messages().size(), 2u);
}

TEST(SpoolingRelay, ARestartDeliversWhatTheLastRunLeftExactlyOnce) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok());
    {
        store::Spool earlier(folder.path.string());
        for (int i = 0; i < 3; ++i) {
            auto id = earlier.Begin("me@x.example", "r" + std::to_string(i) + "@y.example");
            ASSERT_TRUE(id);
            earlier.Append(*id, "Subject: left " + std::to_string(i) + "\r\n\r\nx\r\n");
            ASSERT_TRUE(earlier.Commit(*id));
        }
        auto unfinished = earlier.Begin("me@x.example", "never@y.example");
        earlier.Append(*unfinished, "Subject: never confirmed\r\n");
    }
    SpoolingCore h(folder.path.string(), std::to_string(upstream.Port()));
    ASSERT_TRUE(h.WaitForOutcomes(3));
    for (const auto& outcome : h.outcomes) EXPECT_TRUE(outcome.relayed) << outcome.reason;
    ASSERT_TRUE(upstream.WaitForMessages(3, 5000));
    std::set<std::string> contents;
    for (const auto& message : upstream.Messages()) contents.insert(message.content);
    EXPECT_EQ(contents,
              (std::set<std::string>{"Subject: left 0\r\n\r\nx\r\n", "Subject: left 1\r\n\r\nx\r\n",
                                     "Subject: left 2\r\n\r\nx\r\n"}));
    h.core->Shutdown();
    EXPECT_TRUE(folder.Names().empty());
    h.core.reset();
    SpoolingCore again(folder.path.string(), std::to_string(upstream.Port()));
    testsupport::PumpFor(300);
    EXPECT_EQ(again.core->DeliveriesRunning(), 0u);
    EXPECT_EQ(upstream.Messages().size(), 3u);
}

TEST(SpoolingRelay, AnExitStopsDeliveriesBeforeTheirEndOfTextAndKeepsThem) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream slow({"--mail-delay", "20"});
    ASSERT_TRUE(slow.Ok());
    SpoolingCore h(folder.path.string(), std::to_string(slow.Port()));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(h.Submit("r" + std::to_string(i) + "@y.example", "held"), "250 OK \r\n");
    testsupport::PumpFor(300); // the deliveries wait for their MAIL replies
    EXPECT_EQ(h.core->DeliveriesRunning(), 3u);
    h.core->Shutdown(); // returns well before the 20 s the upstream would take
    EXPECT_EQ(h.core->DeliveriesRunning(), 0u);
    EXPECT_TRUE(h.outcomes.empty()); // stopped deliveries are no outcome
    EXPECT_EQ(RelayCoreProbe::Spool(*h.core).List().size(), 3u);
    EXPECT_EQ(h.journal.size(), 3u);
    EXPECT_NE(h.journal[0].find(" stopped failed "), std::string::npos) << h.journal[0];
    EXPECT_TRUE(slow.Messages().empty());
}

TEST(SpoolingRelay, AnExitWaitsForDeliveriesWhoseEndOfTextIsOut) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream slowReply({"--delay", "1"});
    ASSERT_TRUE(slowReply.Ok());
    SpoolingCore h(folder.path.string(), std::to_string(slowReply.Port()));
    for (int i = 0; i < 2; ++i) h.Submit("r" + std::to_string(i) + "@y.example", "answered");
    testsupport::PumpFor(300); // past the dot: the upstream may already hold them
    h.core->Shutdown();
    ASSERT_EQ(h.outcomes.size(), 2u);
    for (const auto& outcome : h.outcomes) EXPECT_TRUE(outcome.relayed) << outcome.reason;
    EXPECT_TRUE(folder.Names().empty()); // nothing left to be sent a second time
}

TEST(SpoolingRelay, TheTextIsSentFromItsFileByteIdenticalAndAVanishedFileIsAnError) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    SpoolingCore h(folder.path.string(), std::to_string(upstream.Port()));
    // Lines across the file's read pieces, a CR LF split exactly between two of them, and
    // lines that start with a dot.
    std::string body = "Subject: file\r\n\r\n";
    size_t k = (65535 - body.size() - 10) / 74;
    for (size_t i = 0; i < k; ++i)
        body +=
            (i % 50 == 0 ? "." : "x") + std::string(71, static_cast<char>('a' + i % 26)) + "\r\n";
    body += std::string(65535 - body.size(), 'r') + "\r\n"; // CR at 65535, LF at 65536
    while (body.size() < 300 * 1024) body += ".dot line\r\nplain line\r\n";
    EXPECT_EQ(Submitter(h.port).LargeMessage("f@x.example", "r@y.example", body), "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    EXPECT_TRUE(h.outcomes[0].relayed) << h.outcomes[0].reason;
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    EXPECT_TRUE(upstream.Messages()[0].content == body);

    // A file gone before its delivery: an error with its reason, no list line, no relay.
    std::string id = *RelayCoreProbe::Spool(*h.core).Begin("g@x.example", "r@y.example");
    ASSERT_TRUE(RelayCoreProbe::Spool(*h.core).Commit(id));
    fs::remove(RelayCoreProbe::Spool(*h.core).TextPath(id));
    CompletedMessage gone{1, "g@x.example", "r@y.example", {}, std::nullopt};
    h.core->DeliverSlot(std::move(gone), id);
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_TRUE(h.outcomes[1].failedWithError);
    EXPECT_NE(h.outcomes[1].reason.find("cannot open"), std::string::npos) << h.outcomes[1].reason;
    EXPECT_EQ(upstream.Messages().size(), 1u);
}

TEST(SpoolingRelay, ARelayedMessageLeavesTheSpoolBeforeItsOutcomeIsTakenIn) {
    testsupport::SpoolFolderScene folder;
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    SpoolingCore h(folder.path.string(), std::to_string(upstream.Port()));
    EXPECT_EQ(h.Submit("r@y.example", "early"), "250 OK \r\n");
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    // The loop is not run from here on, so no outcome pass can take the message out: the
    // worker that relayed it does.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        RelayCoreProbe::Spool(*h.core).Flush();
        gone = folder.Names().empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    EXPECT_TRUE(h.outcomes.empty());
    ASSERT_TRUE(h.WaitForOutcomes(1)); // and the outcome still comes, once
    EXPECT_TRUE(h.outcomes[0].relayed);
    RelayCoreProbe::Spool(*h.core).Flush();
    EXPECT_TRUE(folder.Names().empty());
}

TEST(SpoolingRelay, AMessageThatCannotBeStoredIsRefusedInsteadOfConfirmed) {
    testsupport::SpoolFolderScene folder;
    SpoolingCore h(folder.path.string(), "1");
    int fd = testsupport::ConnectLoopback(h.port);
    std::string received;
    auto reply = [&](const std::string& text) {
        if (!text.empty()) testsupport::SendAll(fd, text);
        size_t start = received.size();
        testsupport::PumpUntil(
            [&] {
                char buffer[512];
                ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
                if (n > 0) received.append(buffer, static_cast<size_t>(n));
                return received.find("\r\n", start) != std::string::npos;
            },
            5000);
        std::string line = received.substr(start);
        return line;
    };
    reply("");
    reply("HELO pc\r\n");
    reply("MAIL FROM:<me@x.example>\r\n");
    reply("RCPT TO:<you@y.example>\r\n");
    reply("DATA\r\n");
    testsupport::SendAll(fd, "Subject: lost?\r\n\r\n");
    testsupport::PumpFor(100);
    // The disk "fills": the file being written disappears under the relay.
    for (const auto& entry : fs::directory_iterator(folder.path)) fs::remove(entry.path());
    EXPECT_EQ(reply("body\r\n.\r\n"), "451 4.3.0 Could not store the message, try again later\r\n");
    EXPECT_EQ(reply("NOOP\r\n"), "250 OK\r\n"); // the session goes on
    testsupport::CloseFd(fd);
    testsupport::PumpFor(100);
    EXPECT_EQ(h.core->DeliveriesRunning(), 0u);
    EXPECT_TRUE(h.outcomes.empty());
}

} // namespace
