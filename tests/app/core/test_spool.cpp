// Nothing accepted is lost: the spool's files, and the relay core that writes every message
// there before its "250 OK ", hands on what an earlier run left, keeps failures for a resend
// and stops at an exit without sending anything twice.
#include "app/core/relay_core.h"
#include "app/core/spool.h"
#include "platform/text_file.h"
#include "tests/app/core/core_harness.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_folder.h"
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

// A whole message read back: its envelope and its text, as a delivery reads them.
std::optional<CompletedMessage> ReadBack(const Spool& spool, const Spool::Id& id) {
    auto message = spool.Envelope(id);
    if (!message) return std::nullopt;
    SpooledText text(spool.TextPath(id));
    std::string whole;
    for (std::string piece; text.NextPiece(piece);) whole += piece;
    if (!text.Error().empty()) return std::nullopt;
    message->pieces.push_back(std::move(whole));
    return message;
}

struct Folder : testsupport::TempFolder {
    Folder() : TempFolder("spool") { fs::remove_all(path); } // the spool makes it itself
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        if (!fs::exists(path)) return names;
        for (const auto& entry : fs::directory_iterator(path))
            if (entry.path().filename().string().rfind("free-", 0) != 0) // emptied, for reuse
                names.push_back(entry.path().extension().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST(SpoolFiles, AMessageIsWrittenAsItArrivesAndReadBackWhole) {
    Folder folder;
    Spool spool(folder.path.string());
    ASSERT_TRUE(spool.Ok());
    EXPECT_EQ(fs::status(folder.path).permissions() & fs::perms::all, fs::perms::owner_all);
    auto id = spool.Begin("me@x.example", "a@y.example,b@y.example");
    ASSERT_TRUE(id);
    ASSERT_TRUE(spool.Append(*id, "Subject: s\r\n\r\nfirst "));
    ASSERT_TRUE(spool.Append(*id, "line\r\n..\r\n"));
    EXPECT_TRUE(folder.Names().empty()); // still a "free-" file: no message yet
    EXPECT_TRUE(spool.List().empty());
    ASSERT_TRUE(spool.Commit(*id));
    auto entries = spool.List();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].failed);
    auto message = ReadBack(spool, entries[0].id);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->sender, "me@x.example");
    EXPECT_EQ(message->recipientText, "a@y.example,b@y.example");
    EXPECT_EQ(message->pieces, (StringList{"Subject: s\r\n\r\nfirst line\r\n..\r\n"}));

    auto unfinished = spool.Begin("me@x.example", "c@y.example");
    ASSERT_TRUE(unfinished);
    spool.Discard(*unfinished);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{".msg"});
}

TEST(SpoolFiles, FailuresAreKeptUntilResentOrDeletedAndRelayedOnesGoAfterASync) {
    Folder folder;
    Spool spool(folder.path.string());
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i) {
        auto id = spool.Begin("s" + std::to_string(i), "r");
        ASSERT_TRUE(id && spool.Commit(*id));
        ids.push_back(*id);
    }
    ASSERT_TRUE(spool.KeepFailed(ids[1], "\xD3\xCA line one", "RCPT TO:<r> refused: 550 no"));
    auto entries = spool.List();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].id, ids[0]); // oldest first
    EXPECT_TRUE(entries[1].failed);
    EXPECT_EQ(entries[1].logLine, "\xD3\xCA line one");
    EXPECT_EQ(entries[1].reason, "RCPT TO:<r> refused: 550 no");
    spool.Unfail(ids[1]);
    EXPECT_FALSE(spool.List()[1].failed);
    spool.Delete(ids[2]);
    spool.Delivered(ids[0]);
    spool.Flush();
    entries = spool.List();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].id, ids[1]);
    // The relayed message's file stays, emptied, for a later message to reuse.
    fs::path emptied = folder.path / ("free-" + ids[0]);
    ASSERT_TRUE(fs::exists(emptied));
    EXPECT_EQ(fs::file_size(emptied), 0u);
    for (size_t taken = 0; fs::exists(emptied); ++taken) {
        ASSERT_LT(taken, 1000u) << "the emptied file is never reused";
        auto reusing = spool.Begin("again", "r");
        ASSERT_TRUE(reusing && spool.Append(*reusing, "x") && spool.Commit(*reusing));
        EXPECT_EQ(ReadBack(spool, *reusing)->pieces, StringList{"x"});
    }
}

// Descriptors of this process open on files in `folder`.
size_t OpenFilesIn(const fs::path& folder) {
    size_t open = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        fs::path target = fs::read_symlink(fd.path(), error);
        if (!error && target.parent_path() == folder) ++open;
    }
    return open;
}

TEST(SpoolFiles, ReusedFilesHoldExactlyTheirNewMessageAndFewStayOpen) {
    Folder folder;
    Spool spool(folder.path.string());
    std::vector<std::string> ids;
    for (int i = 0; i < 50; ++i) {
        auto id = spool.Begin("old", "r");
        ASSERT_TRUE(id && spool.Append(*id, std::string(3000, 'o')) && spool.Commit(*id));
        ids.push_back(*id);
    }
    for (const std::string& id : ids) spool.Delivered(id);
    spool.Flush();
    EXPECT_TRUE(spool.List().empty());
    size_t heldOpen = OpenFilesIn(fs::canonical(folder.path));
    EXPECT_GT(heldOpen, 0u);  // some are readied for the next messages
    EXPECT_LE(heldOpen, 32u); // but not one per emptied file
    // Shorter and longer than what the files held, a text larger than one write's worth, and
    // one without any text: each reads back as written, nothing of the old content left.
    std::vector<std::string> texts = {"a", std::string(5000, 'b'), std::string(70 * 1024, 'c'), ""};
    for (int round = 0; round < 6; ++round) {
        for (const std::string& text : texts) {
            auto id = spool.Begin("new", "r2");
            ASSERT_TRUE(id);
            if (!text.empty()) {
                ASSERT_TRUE(spool.Append(*id, text));
            }
            ASSERT_TRUE(spool.Commit(*id));
            auto back = ReadBack(spool, *id);
            ASSERT_TRUE(back);
            EXPECT_EQ(back->sender, "new");
            EXPECT_EQ(back->recipientText, "r2");
            EXPECT_EQ(back->pieces, StringList{text});
        }
    }
    EXPECT_LE(OpenFilesIn(fs::canonical(folder.path)), 32u);
}

TEST(SpoolFiles, AFreshSpoolMakesEmptyFilesAheadSoThatMessagesCreateNone) {
    Folder folder;
    Spool spool(folder.path.string());
    spool.Flush(); // the syncer makes them before its first wait
    auto entries = [&] { return std::distance(fs::directory_iterator(folder.path), {}); };
    auto made = entries();
    ASSERT_GE(made, 32) << "no files made ahead";
    for (const auto& entry : fs::directory_iterator(folder.path)) {
        EXPECT_EQ(entry.path().filename().string().rfind("free-", 0), 0u);
        EXPECT_EQ(fs::file_size(entry.path()), 0u);
        EXPECT_EQ(entry.status().permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    // Nothing committed wakes the syncer, so every file here now is one made ahead.
    std::vector<Spool::Id> ids;
    for (int i = 0; i < 40; ++i) {
        auto id = spool.Begin("s", "r");
        ASSERT_TRUE(id && spool.Append(*id, "text " + std::to_string(i)));
        ids.push_back(*id);
    }
    EXPECT_EQ(entries(), made);
    for (const Spool::Id& id : ids) ASSERT_TRUE(spool.Commit(id));
    EXPECT_EQ(ReadBack(spool, ids.back())->pieces, StringList{"text 39"});
}

TEST(SpoolFiles, FilesWantedAheadAreMadeInTheBackgroundWhileMailGoesOnAndOnlyOncePerFolder) {
    Folder folder;
    constexpr size_t kAhead = 300;
    auto freeFiles = [&] {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator(folder.path))
            if (entry.path().filename().string().rfind("free-", 0) == 0) {
                EXPECT_EQ(fs::file_size(entry.path()), 0u);
                ++count;
            }
        return count;
    };
    {
        Spool spool(folder.path.string(), kAhead);
        // Mail is taken and synced while the files are being made.
        auto id = spool.Begin("s", "r");
        ASSERT_TRUE(id && spool.Append(*id, "while making") && spool.Commit(*id));
        spool.Flush();
        EXPECT_EQ(ReadBack(spool, *id)->pieces, StringList{"while making"});
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (freeFiles() < kAhead && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(freeFiles(), kAhead);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(freeFiles(), kAhead) << "made past what was wanted";
        EXPECT_EQ(folder.Names(), std::vector<std::string>{".msg"});
    }
    // The next start finds them and makes none.
    Spool next(folder.path.string(), kAhead);
    next.Flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(freeFiles(), kAhead);
}

TEST(SpoolFiles, AnEarlierRunsUnfinishedFilesAreReusedAndAFolderThatCannotBeWrittenIsNotOk) {
    Folder folder;
    fs::path crashedFile;
    {
        Spool crashed(folder.path.string());
        auto id = crashed.Begin("s", "r");
        ASSERT_TRUE(id);
        crashed.Append(*id, "half a mess");
        crashedFile = folder.path / ("free-" + *id);
    }
    EXPECT_TRUE(folder.Names().empty());
    ASSERT_TRUE(platform::WriteFileAtomically((folder.path / "1-1.part").string(), "old", 0600));
    // A failure record whose message is gone says nothing any more.
    ASSERT_TRUE(
        platform::WriteFileAtomically((folder.path / "2-2.failed").string(), "l\r\nwhy\r\n", 0600));
    Spool next(folder.path.string());
    next.RemoveUnfinished();
    EXPECT_TRUE(folder.Names().empty());
    EXPECT_TRUE(next.List().empty());
    // The crashed run's file is reused like every other free one, emptied first: no message
    // ever holds its bytes.
    ASSERT_TRUE(fs::exists(crashedFile));
    std::optional<Spool::Id> id;
    size_t committed = 0;
    for (; fs::exists(crashedFile); ++committed) {
        ASSERT_LT(committed, 1000u) << "the crashed run's file is never reused";
        id = next.Begin("s2", "r2");
        ASSERT_TRUE(id && next.Commit(*id));
        EXPECT_EQ(ReadBack(next, *id)->pieces, StringList{""});
    }
    EXPECT_EQ(folder.Names(), std::vector<std::string>(committed, ".msg"));
    // One whose message is there stays, as its message's reason.
    ASSERT_TRUE(next.KeepFailed(*id, "l", "why"));
    next.RemoveUnfinished();
    auto entries = next.List();
    ASSERT_EQ(entries.size(), committed);
    EXPECT_EQ(entries.back().reason, "why");
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](auto& e) { return e.failed; }), 1);

    fs::permissions(folder.path, fs::perms::owner_read | fs::perms::owner_exec);
    if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    Spool readOnly(folder.path.string());
    EXPECT_FALSE(readOnly.Ok());
}

TEST(SpoolFiles, SpooledTextReadsBackInPiecesAndReportsAFileCutShort) {
    Folder folder;
    Spool spool(folder.path.string());
    // Many recipients make a header longer than one read.
    std::string recipients;
    for (int i = 0; i < 400; ++i) recipients += (i ? "," : "") + std::string("r@y.example");
    auto id = spool.Begin("s@x.example", recipients);
    ASSERT_TRUE(id);
    std::string text = std::string(SpooledText::kPieceBytes, 'a') + "tail\r\n";
    ASSERT_TRUE(spool.Append(*id, text) && spool.Commit(*id));

    SpooledText reader(spool.TextPath(*id));
    ASSERT_TRUE(reader.Ok()) << reader.Error();
    EXPECT_EQ(reader.Size(), static_cast<long long>(text.size()));
    EXPECT_EQ(reader.Tail(), "\r\n");
    std::string whole, piece;
    int pieces = 0;
    while (reader.NextPiece(piece)) {
        whole += piece;
        ++pieces;
    }
    EXPECT_EQ(whole, text);
    EXPECT_EQ(pieces, 2);
    EXPECT_TRUE(reader.Error().empty());

    // Short texts come whole with the header's read: their tails and ends are the same.
    for (std::string small : {std::string(), std::string("x"), std::string("a\r\n.b\r\n")}) {
        auto shortId = spool.Begin("s@x.example", "r@y.example");
        ASSERT_TRUE(shortId && spool.Append(*shortId, small) && spool.Commit(*shortId));
        SpooledText shortReader(spool.TextPath(*shortId));
        ASSERT_TRUE(shortReader.Ok()) << shortReader.Error();
        EXPECT_EQ(shortReader.RecipientText(), "r@y.example");
        EXPECT_EQ(shortReader.Size(), static_cast<long long>(small.size()));
        EXPECT_EQ(shortReader.Tail(),
                  small.substr(small.size() - std::min<size_t>(2, small.size())));
        std::string read;
        while (shortReader.NextPiece(piece)) read += piece;
        EXPECT_EQ(read, small);
        EXPECT_TRUE(shortReader.Error().empty());
    }

    SpooledText cut(spool.TextPath(*id));
    ASSERT_TRUE(cut.Ok());
    fs::resize_file(spool.TextPath(*id), fs::file_size(spool.TextPath(*id)) - 10);
    while (cut.NextPiece(piece)) {
    }
    EXPECT_EQ(cut.Error(), "the spooled text ended early");

    ASSERT_TRUE(platform::WriteFileAtomically((folder.path / "other.msg").string(), "x", 0600));
    SpooledText foreign((folder.path / "other.msg").string());
    EXPECT_FALSE(foreign.Ok());
    EXPECT_NE(foreign.Error().find("not a spooled message"), std::string::npos);
    SpooledText missing((folder.path / "gone.msg").string());
    EXPECT_FALSE(missing.Ok());
    EXPECT_NE(missing.Error().find("No such file"), std::string::npos);
}

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
    Folder folder;
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
    h.core->SpoolOf()->Flush();
    EXPECT_TRUE(folder.Names().empty());
}

TEST(SpoolingRelay, ResendAllAndDeleteActOnlyOnKeptMessages) {
    Folder folder;
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
    Folder folder;
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

TEST(SpoolingRelay, ARestartDeliversWhatTheLastRunLeftExactlyOnce) {
    Folder folder;
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok());
    {
        Spool earlier(folder.path.string());
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
    Folder folder;
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
    EXPECT_EQ(h.core->SpoolOf()->List().size(), 3u);
    EXPECT_EQ(h.journal.size(), 3u);
    EXPECT_NE(h.journal[0].find(" stopped failed "), std::string::npos) << h.journal[0];
    EXPECT_TRUE(slow.Messages().empty());
}

TEST(SpoolingRelay, AnExitWaitsForDeliveriesWhoseEndOfTextIsOut) {
    Folder folder;
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
    Folder folder;
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
    std::string id = *h.core->SpoolOf()->Begin("g@x.example", "r@y.example");
    ASSERT_TRUE(h.core->SpoolOf()->Commit(id));
    fs::remove(h.core->SpoolOf()->TextPath(id));
    CompletedMessage gone{1, "g@x.example", "r@y.example", {}, std::nullopt};
    h.core->DeliverSlot(std::move(gone), id);
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_TRUE(h.outcomes[1].failedWithError);
    EXPECT_NE(h.outcomes[1].reason.find("cannot open"), std::string::npos) << h.outcomes[1].reason;
    EXPECT_EQ(upstream.Messages().size(), 1u);
}

TEST(SpoolingRelay, ARelayedMessageLeavesTheSpoolBeforeItsOutcomeIsTakenIn) {
    Folder folder;
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    SpoolingCore h(folder.path.string(), std::to_string(upstream.Port()));
    EXPECT_EQ(h.Submit("r@y.example", "early"), "250 OK \r\n");
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    // The loop is not run from here on, so no outcome pass can take the message out: the
    // worker that relayed it does.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        h.core->SpoolOf()->Flush();
        gone = folder.Names().empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    EXPECT_TRUE(h.outcomes.empty());
    ASSERT_TRUE(h.WaitForOutcomes(1)); // and the outcome still comes, once
    EXPECT_TRUE(h.outcomes[0].relayed);
    h.core->SpoolOf()->Flush();
    EXPECT_TRUE(folder.Names().empty());
}

TEST(SpoolingRelay, AMessageThatCannotBeStoredIsRefusedInsteadOfConfirmed) {
    Folder folder;
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

namespace {

TEST(SpoolFiles, OnASharedMachineTheFolderMustBeOursAndNoLinkIsFollowed) {
    Folder folder;
    fs::create_directories(folder.path);
    fs::path user = folder.path / "user-file.txt";
    ASSERT_TRUE(platform::WriteFileAtomically(user.string(), "precious", 0600));
    // A folder that is a link, or that others may write, keeps no mail.
    fs::path linked = folder.path / "linked-spool";
    fs::create_directory(folder.path / "elsewhere");
    fs::create_symlink(folder.path / "elsewhere", linked);
    Spool throughLink(linked.string());
    EXPECT_FALSE(throughLink.Ok());
    EXPECT_EQ(throughLink.Problem(), "it is not a real folder (a link or a file)");
    EXPECT_FALSE(throughLink.Begin("s", "r"));
    fs::path open = folder.path / "open-spool";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all);
    Spool shared(open.string());
    EXPECT_FALSE(shared.Ok());
    EXPECT_EQ(shared.Problem(), "others may write to it");
    // A free file swapped for a link to another file of the user's: that file is neither
    // written nor emptied, and the message still goes into a file of the spool's own.
    fs::path spool = folder.path / "spool";
    fs::create_directory(spool);
    fs::permissions(spool, fs::perms::owner_all);
    fs::create_symlink(user, spool / "free-00000000000000000001-s000001");
    Spool mine(spool.string());
    ASSERT_TRUE(mine.Ok()) << mine.Problem();
    auto id = mine.Begin("s", "r");
    ASSERT_TRUE(id);
    ASSERT_TRUE(mine.Append(*id, "the message\r\n"));
    ASSERT_TRUE(mine.Commit(*id));
    mine.Flush();
    EXPECT_EQ(*platform::ReadFileBytes(user.string()), "precious");
    EXPECT_EQ(ReadBack(mine, *id)->pieces, StringList{"the message\r\n"});
    // The folder renamed while the spool runs and a link put in its place: what the spool
    // writes, renames and removes afterwards stays in the folder it checked.
    fs::path moved = folder.path / "moved-spool";
    fs::rename(spool, moved);
    fs::create_symlink(folder.path / "elsewhere", spool);
    auto next = mine.Begin("s", "r2");
    ASSERT_TRUE(next);
    ASSERT_TRUE(mine.Append(*next, "second\r\n"));
    ASSERT_TRUE(mine.Commit(*next));
    ASSERT_TRUE(mine.KeepFailed(*next, "line", "why"));
    mine.Delivered(*id);
    mine.Flush();
    EXPECT_TRUE(fs::is_empty(folder.path / "elsewhere"));
    EXPECT_TRUE(fs::exists(moved / (*next + ".msg")));
    EXPECT_TRUE(fs::exists(moved / (*next + ".failed")));
    EXPECT_FALSE(fs::exists(moved / (*id + ".msg"))); // relayed: emptied and kept as free
    EXPECT_TRUE(fs::exists(moved / ("free-" + *id)));
}

} // namespace
