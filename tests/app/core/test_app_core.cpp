// The relay's own logic without a window: files, settings, accounts, the slot ring and the
// log line.
#include "app/core/accounts.h"
#include "app/core/delivery.h"
#include "app/core/message_text.h"
#include "app/core/record_book.h"
#include "app/core/records.h"
#include "app/core/slot_ring.h"
#include "app/core/string_list.h"
#include "platform/text_file.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace app;

namespace {

std::string Fixture(const char* name) {
    return std::string(VANTRO_FIXTURES) + "/" + name;
}

struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("app-" + std::to_string(getpid()) + "-" +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator/(const char* name) const { return (path / name).string(); }
};

TEST(StringLists, WindowsFilesLoadAndSaveBackByteIdentical) {
    TempDir dir;
    for (const char* name : {"good.ini", "bad.ini", "brontalhao.ini", "kalvex.eml"}) {
        auto original = platform::ReadFileBytes(Fixture(name));
        ASSERT_TRUE(original) << name;
        auto lines = LoadStringList(Fixture(name));
        ASSERT_TRUE(lines);
        ASSERT_TRUE(SaveStringList(dir / name, *lines, 0644));
        EXPECT_EQ(platform::ReadFileBytes(dir / name), original) << name;
    }
    EXPECT_EQ(LoadStringList(Fixture("good.ini"))->size(), 500u);
    EXPECT_EQ(LoadStringList(Fixture("bad.ini"))->size(), 501u);
    // The last line of this file has no line end; it is still one line, and saving ends it.
    auto shortList = LoadStringList(Fixture("bad-short.ini"));
    ASSERT_EQ(shortList->size(), 3u);
    EXPECT_EQ(JoinLines(*shortList), *platform::ReadFileBytes(Fixture("bad-short.ini")) + "\r\n");
}

TEST(StringLists, AnyLineEndAndNoEmptyLineAtTheEnd) {
    EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (StringList{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitLines("a\r\n\r\n"), (StringList{"a", ""}));
    EXPECT_EQ(SplitLines(""), StringList{});
    EXPECT_EQ(JoinLines({"a", ""}), "a\r\n\r\n");
    EXPECT_FALSE(LoadStringList("/nonexistent/file").has_value());
}

TEST(StringLists, PiecesFetchedOneAtATimeCutAsPiecesHeldAtOnce) {
    // A CR LF split between two fetched pieces, a lone CR, and no CR LF at the end.
    StringList supplied{"Subject: y\r", "\n\r\nbody\r", "x\r\nlast"};
    size_t fetched = 0;
    PieceLines lines(
        [&](std::string& piece) {
            if (fetched == supplied.size()) return false;
            piece = supplied[fetched++];
            return true;
        },
        31, "st");
    EXPECT_EQ(lines.Size(), 33); // the last line gains its CR LF
    StringList cut;
    for (std::string line; lines.Next(line);) cut.push_back(line);
    EXPECT_EQ(cut, (StringList{"Subject: y", "", "body\rx", "last"}));
    EXPECT_EQ(cut, MessageLines(StringList(supplied)));
    EXPECT_EQ(PieceLines([](std::string&) { return false; }, 0, "").Size(), 0);
}

TEST(StringLists, MessageLinesIgnorePieceBoundaries) {
    StringList oneChunk = MessageLines(StringList{"Subject: x\r\n\r\nline one\r\nline two\r\n"});
    StringList threePieces =
        MessageLines(StringList{"Subject: x\r\n\r\nli", "ne one\r", "\nline two\r\n"});
    EXPECT_EQ(oneChunk, (StringList{"Subject: x", "", "line one", "line two"}));
    EXPECT_EQ(threePieces, oneChunk);
    EXPECT_EQ(MessageLines(StringList{"no end"}), (StringList{"no end"}));
    EXPECT_EQ(MessageLines(StringList{""}), StringList{});
    EXPECT_EQ(MessageLines(StringList{"a\r", "b\r", "\n"}),
              (StringList{"a\rb"})); // a lone CR stays in its line
    EXPECT_EQ(MessageLines(StringList{"x\r\n\r\n", "y\r"}), (StringList{"x", "", "y\r"}));
}

TEST(StringLists, TheSubjectIsReadFromTheHeadersOfTheFirstPiece) {
    struct Case {
        std::string piece, subject;
    } cases[] = {
        {"From: a\r\nSubject: report\r\n\r\nbody\r\n", "report"},
        {"SUBJECT:  folded\r\n\tover two\r\nTo: b\r\n\r\n", "folded over two"},
        {"Subject: \xD6\xD0\xCE\xC4\nTo: b\n\n", "\xD6\xD0\xCE\xC4"}, // bytes as sent
        {"From: a\r\n\r\nSubject: in the body\r\n", ""},
        {"Subject: cut off by the piece", ""},
        {"X-Subject: not it\r\n\r\n", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(SubjectIn(c.piece), c.subject) << c.piece;
}

TEST(Settings, DefaultsOnFirstStartAndTheCheckBoxRules) {
    TempDir dir;
    Account fresh = ReadSettings(dir / "brontalnow.ini");
    EXPECT_EQ(fresh.port, "25");
    EXPECT_EQ(fresh.user, "kalvex");
    EXPECT_EQ(fresh.password, "739104");
    EXPECT_TRUE(fresh.authenticate);
    EXPECT_FALSE(fresh.implicitTls);
    EXPECT_FALSE(fresh.startTls);
    EXPECT_EQ(fresh.mailbox, kDefaultMailbox);
    EXPECT_EQ(fresh.usedBy, kDefaultMailbox);

    std::string path = dir / "brontalnow.ini";
    ASSERT_TRUE(platform::WriteFileAtomically(
        path, "[smtpconfig]\r\nauth=0\r\nssl=5\r\ntls=256\r\nuser=\r\nport=0x1A\r\n", 0644));
    Account e = ReadSettings(path);
    EXPECT_FALSE(e.authenticate);
    EXPECT_TRUE(e.implicitTls);
    EXPECT_FALSE(e.startTls);  // 256: the low 8 bits are 0
    EXPECT_EQ(e.user, "");     // empty, not the default
    EXPECT_EQ(e.port, "0x1A"); // strings stay strings
    ASSERT_TRUE(WriteSettings(path, e));
    std::string written = *platform::ReadFileBytes(path);
    EXPECT_NE(written.find("ssl=1\r\n"), std::string::npos);
    EXPECT_NE(written.find("auth=0\r\n"), std::string::npos);
    EXPECT_NE(written.find("user=\r\n"), std::string::npos);
}

TEST(Settings, WindowsSettingsFileRoundTripsAndNewFilesAreOwnerOnly) {
    TempDir dir;
    std::string path = dir / "brontalnow.ini";
    auto original = platform::ReadFileBytes(Fixture("brontalnow.ini"));
    ASSERT_TRUE(platform::WriteFileAtomically(path, *original, 0644));
    Account e = ReadSettings(path);
    EXPECT_EQ(e.port, "465");
    EXPECT_TRUE(e.implicitTls);
    ASSERT_TRUE(WriteSettings(path, e));
    std::string expected = *original;
    size_t at = expected.find("ssl=5");
    ASSERT_NE(at, std::string::npos);
    expected.replace(at, 5, "ssl=1"); // 5 ticks the box and is written back as 1
    expected += "verifycert=1\r\nremoteclients=0\r\ntlsmin=1.2\r\n"; // ours, after the nine
    expected += "retry=1\r\nmaxlifetime=120\r\nmaxsessions=10\r\nnotify=1\r\n";
    EXPECT_EQ(*platform::ReadFileBytes(path), expected);
    std::string fresh = dir / "new.ini";
    ASSERT_TRUE(WriteSettings(fresh, e));
    EXPECT_EQ(std::filesystem::status(fresh).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(Accounts, LineFormatReadBackAndOddLines) {
    Account e{"me@mail.example", "", "smtp.example", "user", "pw", "587", true, false, true};
    std::string line = AccountLine(e);
    EXPECT_EQ(line, "me@mail.example|smtp.example|587|sslno|tlsyes|authyes|user|pw|any");
    Account back;
    back.usedBy = "stale";
    ReadAccountLine(line, back);
    EXPECT_EQ(back, e);  // "any" empties the used-by field
    e.usedBy = "nobody"; // no "@": stored as any
    EXPECT_EQ(AccountLine(e).substr(AccountLine(e).size() - 4), "|any");

    ReadAccountLine("no separators in this line, typed by hand", back);
    EXPECT_EQ(back.mailbox, "");
    EXPECT_FALSE(back.authenticate);
    EXPECT_EQ(back.usedBy, "no separators in this line, typed by hand");
    ReadAccountLine("a|b|25|SSLYES|tlsyes|authno|u|p|x@y|extra", back);
    EXPECT_FALSE(back.implicitTls); // case-sensitive
    EXPECT_EQ(back.usedBy, "x@y|extra");
    ReadAccountLine("a|" + std::string(300, 'h') + "|25|sslyes|tlsno|authyes|u|p|any", back);
    EXPECT_EQ(back.host, ""); // the rest was cut to 255 characters, so no "|" is left in it
    EXPECT_EQ(back.usedBy, std::string(255, 'h'));
}

TEST(Accounts, SelectionBySenderThenAnyElseUnchanged) {
    StringList accounts = *LoadStringList(Fixture("brontalhao.ini"));
    Account e;
    std::string current = "before";
    ASSERT_TRUE(SelectAccount(accounts, "zhang.wei@corp.example.cn", current, e));
    EXPECT_EQ(current, "zhang.wei@corp.example.cn");
    EXPECT_EQ(e.host, "smtp.mail.example.cn");
    EXPECT_TRUE(e.implicitTls);
    ASSERT_TRUE(SelectAccount(accounts, "stranger@else.example", current, e));
    EXPECT_EQ(e.host, "smtp.example.org"); // the "any" line
    EXPECT_EQ(e.usedBy, "");
    StringList two = {"a|h1|25|sslno|tlsno|authno|||s@x", "b|h2|25|sslno|tlsno|authno|||s@x"};
    ASSERT_TRUE(SelectAccount(two, "s@x", current, e));
    EXPECT_EQ(e.host, "h2"); // the later of two matching lines
    Account kept = e;
    ASSERT_TRUE(SelectAccount(two, "other@x", current, e));
    EXPECT_EQ(e, kept); // no match and no "any" line
    current = "unchanged";
    EXPECT_FALSE(SelectAccount({}, "s@x", current, e));
    EXPECT_EQ(current, "unchanged");
    // Senders reach the relay whole now; a line written for the form the server once
    // filtered them to still selects its account, and a line for the whole sender wins.
    StringList filtered = {"f|h1|25|sslno|tlsno|authno|||metag@x.example",
                           "a|h9|25|sslno|tlsno|authno|||any"};
    ASSERT_TRUE(SelectAccount(filtered, "me+tag@x.example", current, e));
    EXPECT_EQ(e.host, "h1");
    EXPECT_EQ(current, "me+tag@x.example");
    filtered.push_back("w|h2|25|sslno|tlsno|authno|||me+tag@x.example");
    ASSERT_TRUE(SelectAccount(filtered, "me+tag@x.example", current, e));
    EXPECT_EQ(e.host, "h2");
    EXPECT_EQ(FilteredSender("o'brien+x@d.test"), "obrienx@d.test");
}

TEST(Accounts, SwitchGoesRoundAndCopesWithAShorterList) {
    StringList three = {"1|h1|25|sslno|tlsno|authno|||any", "2|h2|25|sslno|tlsno|authno|||any",
                        "3|h3|25|sslno|tlsno|authno|||any"};
    Account e;
    size_t position = 0;
    std::string seen;
    for (int i = 0; i < 4; ++i) {
        SwitchAccount(three, position, e);
        seen += e.mailbox;
    }
    EXPECT_EQ(seen, "1231");
    SwitchAccount(three, position, e);
    EXPECT_EQ(e.mailbox, "2");
    three.pop_back(); // deleted by hand
    SwitchAccount(three, position, e);
    EXPECT_EQ(e.mailbox, "1");
    EXPECT_FALSE(SwitchAccount({}, position, e));
}

TEST(SlotRingTest, RotationRecipientsAndPieces) {
    SlotRing ring;
    int c = 1;
    EXPECT_EQ(ring.CurrentSlot(), 0);
    EXPECT_FALSE(ring.SendData(&c, true, "early").has_value()); // no MAIL yet: nothing is started
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(ring.MailFrom(&c, "s" + std::to_string(i)), i);
    EXPECT_EQ(ring.MailFrom(&c, "eleven"), 1);
    EXPECT_EQ(ring.Slot(1).sender, "eleven");
    EXPECT_EQ(ring.Slot(1).recipientText, "");
    ring.MailTo(&c, "A");
    ring.MailTo(&c, "B");
    ring.MailTo(&c, "C");
    EXPECT_EQ(ring.Slot(1).recipientText, "A,B,C");
    for (const char* piece : {"one ", "two ", "three "})
        EXPECT_FALSE(ring.SendData(&c, false, piece));
    auto done = ring.SendData(&c, true, "four\r\n");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->slot, 1);
    EXPECT_EQ(done->pieces.size(), 4u);
    EXPECT_EQ(done->recipientText, "A,B,C");
    // A second DATA of the same envelope is a message of its own, not appended to the first.
    auto second = ring.SendData(&c, true, "again\r\n");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->pieces, StringList{"again\r\n"});
}

TEST(SlotRingTest, OverlappingConnectionsKeepTheirOwnSlots) {
    SlotRing ring;
    int a = 1, b = 2;
    EXPECT_EQ(ring.MailFrom(&a, "a@x"), 1);
    EXPECT_EQ(ring.MailFrom(&b, "b@x"), 2);
    ring.MailTo(&a, "ra@y");
    ring.MailTo(&b, "rb@y");
    ring.SendData(&b, false, "B text\r\n");
    ring.SendData(&a, false, "A text\r\n");
    auto fromA = ring.SendData(&a, true, "A end\r\n");
    auto fromB = ring.SendData(&b, true, "B end\r\n");
    ASSERT_TRUE(fromA && fromB);
    EXPECT_EQ(fromA->recipientText, "ra@y");
    EXPECT_EQ(fromA->pieces, (StringList{"A text\r\n", "A end\r\n"}));
    EXPECT_EQ(fromB->recipientText, "rb@y");
    EXPECT_EQ(fromB->pieces, (StringList{"B text\r\n", "B end\r\n"}));
}

TEST(SlotRingTest, ASlotBeingFilledIsSkippedAndBusyTenLendASpareSlot) {
    SlotRing ring;
    int connections[12];
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ring.MailFrom(&connections[i], "s"), i + 1);
    // All ten are being filled: the eleventh is not refused, it fills a spare slot.
    EXPECT_EQ(ring.MailFrom(&connections[10], "eleventh"), 11);
    EXPECT_TRUE(ring.MailTo(&connections[10], "r"));
    EXPECT_EQ(ring.Slot(11).recipientText, "r");
    EXPECT_EQ(ring.Filling(), 11u);
    ring.Release(&connections[3]); // slot 4 is free again and the rotation finds it
    EXPECT_EQ(ring.MailFrom(&connections[11], "s"), 4);
    EXPECT_EQ(ring.Slot(4).sender, "s");
    auto spare = ring.SendData(&connections[10], true, "text\r\n");
    ASSERT_TRUE(spare);
    EXPECT_EQ(spare->slot, 11);
    EXPECT_EQ(spare->sender, "eleventh");
    EXPECT_EQ(spare->recipientText, "r");
}

TEST(SlotRingTest, OnlyTheFillingLimitRefusesMail) {
    SlotRing ring;
    std::vector<int> connections(SlotRing::kMaxFilling + 1);
    for (int i = 0; i < SlotRing::kMaxFilling; ++i)
        ASSERT_NE(ring.MailFrom(&connections[i], "s"), 0);
    EXPECT_EQ(ring.MailFrom(&connections.back(), "s"), 0);
    EXPECT_FALSE(ring.MailTo(&connections.back(), "r"));
    ring.Release(&connections[0]);
    EXPECT_NE(ring.MailFrom(&connections.back(), "s"), 0);
}

TEST(DeliveryTest, LogLineSignOnAndRequest) {
    std::tm when{};
    when.tm_year = 2011 - 1900;
    when.tm_mon = 4;
    when.tm_mday = 9;
    when.tm_hour = 16;
    when.tm_min = 46;
    when.tm_sec = 7;
    when.tm_isdst = -1;
    std::time_t t = std::mktime(&when);
    EXPECT_EQ(
        LogLine(true, "relay@mail.example", "zhang.wei@corp.example.cn", "a@x,b@y", t),
        std::string(kRelayedPrefix) +
            "relay@mail.example/From:zhang.wei@corp.example.cn/To:a@x,b@y/Time:2011-5-9 16:46:07");
    EXPECT_EQ(LogLine(false, "m", "", "r", t).substr(0, 16), kFailedPrefix);
    EXPECT_EQ(SignOnName("kehu0@example.net,boss@example.net"), "kehu0");
    EXPECT_EQ(SignOnName("no-at-sign"), "");
    CompletedMessage m{3, "s@y", "a@x", {"Subject: s\r\n", "\r\nbody\r\n"}, std::nullopt};
    Account account;
    account.mailbox = "box@mail.example";
    DeliveryRequest r = MakeRequest(std::move(m), account);
    EXPECT_EQ(r.sender, "s@y");
    EXPECT_EQ(r.recipientText, "a@x");
    EXPECT_EQ(MessageLines(std::move(r.pieces)), (StringList{"Subject: s", "", "body"}));
    EXPECT_EQ(r.account.mailbox, "box@mail.example");
}

} // namespace

namespace {

TEST(RecordListTest, AnEditKeepsEachLinesRecordAndDropsOnlyWhatNoLineShows) {
    uint64_t nextId = 0;
    RecordList list(nextId);
    uint64_t first = list.Append("same line", "id-1", "550 one").id;
    uint64_t second = list.Append("same line", "id-2", "550 two").id;
    uint64_t third = list.Append("other", "id-3", "550 three").id;
    EXPECT_TRUE(first != second && second != third && first != 0);
    EXPECT_EQ(list.Find(second)->spoolId, "id-2"); // equal lines, each its own record
    EXPECT_EQ(list.Find(0), nullptr);
    // The user edits the second line, copies it, types a new line and deletes the third.
    auto dropped = list.Edit({{first, "same line"},
                              {second, "edited: same line"},
                              {second, "edited: same line"},
                              {0, "typed"}});
    ASSERT_EQ(list.Count(), 4u);
    EXPECT_EQ(list.Records()[1].id, second);
    EXPECT_EQ(list.Records()[1].spoolId, "id-2");
    EXPECT_EQ(list.Records()[1].reason, "550 two");
    EXPECT_EQ(list.Records()[1].line, "edited: same line");
    // The copy is a line of its own, without the message: one message is never sent twice.
    EXPECT_NE(list.Records()[2].id, second);
    EXPECT_TRUE(list.Records()[2].spoolId.empty());
    EXPECT_TRUE(list.Records()[3].spoolId.empty());
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].id, third);
    EXPECT_EQ(dropped[0].spoolId, "id-3");
    EXPECT_EQ(list.Lines(),
              (StringList{"same line", "edited: same line", "edited: same line", "typed"}));
    // Replaced (loaded, cleared): every record dropped, the new lines without messages.
    dropped = list.Replace({"a", "b"});
    EXPECT_EQ(dropped.size(), 4u);
    EXPECT_EQ(list.Lines(), (StringList{"a", "b"}));
    EXPECT_EQ(list.FindUnkept("b"), &list.Records()[1]);
    EXPECT_EQ(list.FindUnkept("c"), nullptr);
}

TEST(RecordBookTest, AKeptMessageStaysInSightWhateverBecomesOfItsLine) {
    RecordBook book;
    book.Replace(ListKind::Failed, {"same", "same", "other"});
    // An earlier run's kept messages find the lines that keep none yet, in order.
    book.AdoptKept("same", "id-1", "550 one");
    book.AdoptKept("same", "id-2", "550 two");
    book.AdoptKept("gone", "id-3", "550 three"); // its line was deleted before the exit
    book.AdoptUnreadable("id-4", "the spool file cannot be read: bad header");
    std::vector<Record> kept = book.KeptRecords();
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept[0].spoolId, "id-1");
    EXPECT_EQ(kept[1].spoolId, "id-2");
    EXPECT_EQ(kept[1].reason, "550 two");
    EXPECT_EQ(kept[2].line, "gone");
    EXPECT_TRUE(kept[3].line.empty());
    EXPECT_EQ(book.List(ListKind::Failed).Records()[0].id, kept[0].id);
    // Cleared: the lines go, the kept messages stay, unlisted.
    uint64_t relayed = book.AppendRelayed("ok");
    book.Replace(ListKind::Failed, {});
    EXPECT_EQ(book.KeptCount(), 4u);
    EXPECT_EQ(book.List(ListKind::Relayed).Find(relayed)->line, "ok");
    ASSERT_NE(book.Kept(kept[1].id), nullptr);
    EXPECT_EQ(book.Kept(kept[1].id)->spoolId, "id-2");
    // Resent or deleted: no longer kept; a listed record stays as a line.
    uint64_t fresh = book.AppendFailed("new", "id-5", "550 five");
    book.Unkeep(kept[1].id);
    book.Unkeep(fresh);
    EXPECT_EQ(book.Kept(kept[1].id), nullptr);
    EXPECT_EQ(book.Kept(fresh), nullptr);
    EXPECT_EQ(book.List(ListKind::Failed).Lines(), StringList{"new"});
    EXPECT_EQ(book.KeptCount(), 3u);
    EXPECT_EQ(book.Kept(relayed), nullptr); // a success keeps nothing
}

} // namespace

namespace {

TEST(JournalLineTest, APeersControlBytesCannotEndOrRewriteTheLine) {
    DeliveryOutcome outcome;
    outcome.mailbox = "box@mail.example";
    outcome.sender = "a@x.example";
    outcome.recipientText = "r@y.example";
    static const char kReason[] = // its own length, for the NUL inside it
        "RCPT TO:<r@y.example> refused: 550 \x1B[2K\x1B]0;title\x07\r\nfake\0 line";
    outcome.reason = std::string(kReason, sizeof(kReason) - 1);
    std::string line = JournalLine(outcome, 0);
    EXPECT_EQ(line.find_first_of(std::string("\x1B\x07\r\n\0", 5)), std::string::npos) << line;
    EXPECT_NE(line.find("reason=RCPT TO:<r@y.example> refused: 550 "
                        "\\x1B[2K\\x1B]0;title\\x07\\x0D\\x0Afake\\x00 line"),
              std::string::npos)
        << line;
}

} // namespace
