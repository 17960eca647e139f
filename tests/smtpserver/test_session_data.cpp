#include "tests/smtpserver/fixture.h"

#include <algorithm>
#include <thread>

using namespace smtptest;

namespace {

// A session that has reached the data state.
struct DataSession {
    ServerFixture f;
    RawClient c{f.port};
    DataSession() {
        c.Login();
        c.Send("MAIL FROM:<a@b.example>\r\n");
        c.Send("RCPT TO:<c@d.example>\r\n");
        EXPECT_EQ(c.Send("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    }
    // Sends the pieces as separate chunks; returns the reply lines that followed.
    std::string Pieces(const std::vector<std::string>& pieces, int replyLines = 1) {
        for (size_t i = 0; i + 1 < pieces.size(); ++i) c.SendOnly(pieces[i]);
        return c.Send(pieces.back(), replyLines);
    }
};

TEST(SmtpData, WholeMessageInOneChunkIsOneLastPart) {
    DataSession s;
    const std::string chunk = "Subject: hi\r\n\r\nbody line\r\n.\r\n";
    EXPECT_EQ(s.c.Send(chunk), "250 OK \r\n");
    ASSERT_EQ(s.f.data.size(), 1u);
    EXPECT_TRUE(s.f.data[0].lastPart);
    EXPECT_EQ(s.f.data[0].msg, chunk.substr(0, chunk.size() - 3));
}

TEST(SmtpData, TerminatorAloneEndsTheMessageAndDeliversItsLineEnd) {
    DataSession s;
    EXPECT_EQ(s.Pieces({"Subject: x", "\r\n.\r\n"}), "250 OK \r\n");
    EXPECT_EQ(s.f.Message(), "Subject: x\r\n");
    EXPECT_EQ(s.f.LastParts(), 1);
    EXPECT_TRUE(s.f.data.back().lastPart);
    EXPECT_EQ(s.f.data.back().msg, "\r\n");
}

TEST(SmtpData, TerminatorSplitAcrossChunksIsRecognised) {
    const std::vector<std::vector<std::string>> splits = {
        {"line one\r\n", ".\r\n"}, {"line one\r\n.", "\r\n"},         {"line one\r\n.\r", "\n"},
        {"line one\r", "\n.\r\n"}, {"line one\r\n", ".", "\r", "\n"},
    };
    for (const auto& pieces : splits) {
        DataSession s;
        EXPECT_EQ(s.Pieces(pieces), "250 OK \r\n") << pieces.size();
        EXPECT_EQ(s.f.Message(), "line one\r\n");
        EXPECT_EQ(s.f.LastParts(), 1);
        EXPECT_TRUE(s.f.data.back().lastPart);
        EXPECT_EQ(s.c.Send("NOOP\r\n"), "250 OK\r\n"); // back in the command state
    }
}

TEST(SmtpData, DoubledDotsLoseOneDotAtEveryLineStartAcrossChunks) {
    DataSession s;
    EXPECT_EQ(s.Pieces({"..first\r\nmid..dle\r\n..x\r", "\n..after cr\r\n", ".", ".split\r\n",
                        "...three\r\n.\r\n"}),
              "250 OK \r\n");
    EXPECT_EQ(s.f.Message(), ".first\r\nmid..dle\r\n.x\r\n.after cr\r\n.split\r\n..three\r\n");
}

TEST(SmtpData, EmptyMessageAndLinesThatOnlyLookLikeTheEnd) {
    DataSession s;
    EXPECT_EQ(s.c.Send(".\r\n"), "250 OK \r\n");
    EXPECT_EQ(s.f.data.back().msg, "");
    EXPECT_TRUE(s.f.data.back().lastPart);
    EXPECT_EQ(s.c.Send("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(s.c.Send(". \r\n.x\r\nx.\r\n\n.\n\r.\r\r\n.\r\n"), "250 OK \r\n");
    EXPECT_EQ(s.f.data.back().msg, ". \r\n.x\r\nx.\r\n\n.\n\r.\r\r\n");
}

TEST(SmtpData, SecondMessageReusesSenderAndRecipientsWithoutRset) {
    DataSession s;
    s.c.Send("one\r\n.\r\n");
    EXPECT_EQ(s.c.Send("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    s.c.Send("two\r\n.\r\n");
    EXPECT_EQ(s.f.LastParts(), 2);
    EXPECT_EQ(s.f.data.back().msg, "two\r\n");
    EXPECT_EQ(s.f.senders.size(), 1u);
}

TEST(SmtpData, CommandSentWithTheEndOfTheMessageIsACommandNotText) {
    DataSession s;
    EXPECT_EQ(s.c.Send("text\r\n.\r\nQUIT\r\n", 2),
              "250 OK \r\n221 Thanks for using, have a nice day\r\n");
    EXPECT_EQ(s.f.Message(), "text\r\n");
    EXPECT_TRUE(s.c.ClosedByServer());
}

TEST(SmtpData, ClientVanishingMidDataEndsTheSessionWithoutALastPart) {
    DataSession s;
    s.c.SendOnly("partial message\r\n");
    testsupport::CloseFd(s.c.fd);
    s.c.fd = -1;
    ASSERT_TRUE(testsupport::PumpUntil([&] { return s.f.disconnects == 1; }, 2000));
    EXPECT_EQ(s.f.LastParts(), 0);
    EXPECT_EQ(s.f.Message(), "partial message\r\n");
    EXPECT_EQ(s.f.data.back().msg, ""); // the close reads one empty chunk
}

TEST(SmtpData, LargeMessageArrivesWhole) {
    DataSession s;
    std::string body;
    for (int i = 0; i < 40000; ++i)
        body += (i % 7 == 0 ? ".." : "") + std::string("line ") + std::to_string(i) + "\r\n";
    EXPECT_EQ(s.c.Send(body + ".\r\n"), "250 OK \r\n");
    std::string expected;
    for (int i = 0; i < 40000; ++i)
        expected += (i % 7 == 0 ? "." : "") + std::string("line ") + std::to_string(i) + "\r\n";
    EXPECT_EQ(s.f.Message(), expected);
    EXPECT_EQ(s.f.LastParts(), 1);
}

TEST(SmtpData, TextWaitingUnreadIsTakenInBoundedPiecesAndArrivesWhole) {
    DataSession s;
    // Four megabytes sent while the loop does not run: as much as the socket will buffer is
    // waiting when the server reads again.
    std::string body;
    for (int i = 0; body.size() < 4 * 1024 * 1024; ++i)
        body +=
            (i % 5 == 0 ? ".." : "") + std::string(60, static_cast<char>('a' + i % 26)) + "\r\n";
    std::thread sender([&] { testsupport::SendAll(s.c.fd, body + ".\r\n"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(s.c.Lines(1, 20000), "250 OK \r\n");
    sender.join();
    std::string expected;
    for (size_t pos = 0; pos < body.size();) {
        size_t end = body.find("\r\n", pos) + 2;
        expected.append(body, pos + (body.compare(pos, 2, "..") == 0 ? 1 : 0),
                        end - pos - (body.compare(pos, 2, "..") == 0 ? 1 : 0));
        pos = end;
    }
    EXPECT_TRUE(s.f.Message() == expected);
    size_t largest = 0;
    for (const Delivered& d : s.f.data) largest = std::max(largest, d.msg.size());
    EXPECT_LE(largest, 256u * 1024);
    EXPECT_GT(s.f.data.size(), 16u);
}

} // namespace
