// Nothing accepted is lost: the spool's files, written as a message arrives, kept for a
// resend or a retry, emptied for reuse, and never written through a link.
#include "platform/text_file.h"
#include "store/spool.h"
#include "tests/store/spool_folder.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace store;
namespace fs = std::filesystem;

namespace {

// A whole message read back: its envelope and its text, as a delivery reads them.
struct WholeMessage {
    std::string sender, recipientText, text;
};
std::optional<WholeMessage> ReadBack(const Spool& spool, const Spool::Id& id) {
    auto envelope = spool.EnvelopeOf(id);
    if (!envelope) return std::nullopt;
    SpooledText text(spool.TextPath(id));
    WholeMessage message{envelope->sender, envelope->recipientText, {}};
    for (std::string piece; text.NextPiece(piece);) message.text += piece;
    if (!text.Error().empty() || envelope->size != static_cast<long long>(message.text.size()))
        return std::nullopt;
    return message;
}

TEST(SpoolFiles, AMessageIsWrittenAsItArrivesAndReadBackWhole) {
    testsupport::SpoolFolderScene folder;
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
    EXPECT_EQ(message->text, "Subject: s\r\n\r\nfirst line\r\n..\r\n");

    auto unfinished = spool.Begin("me@x.example", "c@y.example");
    ASSERT_TRUE(unfinished);
    spool.Discard(*unfinished);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{".msg"});
}

TEST(SpoolFiles, FailuresAreKeptUntilResentOrDeletedAndRelayedOnesGoAfterASync) {
    testsupport::SpoolFolderScene folder;
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
        EXPECT_EQ(ReadBack(spool, *reusing)->text, "x");
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
    testsupport::SpoolFolderScene folder;
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
            EXPECT_EQ(back->text, text);
        }
    }
    EXPECT_LE(OpenFilesIn(fs::canonical(folder.path)), 32u);
}

TEST(SpoolFiles, AFreshSpoolMakesEmptyFilesAheadSoThatMessagesCreateNone) {
    testsupport::SpoolFolderScene folder;
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
    EXPECT_EQ(ReadBack(spool, ids.back())->text, "text 39");
}

TEST(SpoolFiles, FilesWantedAheadAreMadeInTheBackgroundWhileMailGoesOnAndOnlyOncePerFolder) {
    testsupport::SpoolFolderScene folder;
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
        EXPECT_EQ(ReadBack(spool, *id)->text, "while making");
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
    testsupport::SpoolFolderScene folder;
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
        EXPECT_EQ(ReadBack(next, *id)->text, "");
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
    testsupport::SpoolFolderScene folder;
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

TEST(SpoolFiles, OnASharedMachineTheFolderMustBeOursAndNoLinkIsFollowed) {
    testsupport::SpoolFolderScene folder;
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
    EXPECT_EQ(ReadBack(mine, *id)->text, "the message\r\n");
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
