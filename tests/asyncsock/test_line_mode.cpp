#include "tests/asyncsock/connected.h"

#include <gtest/gtest.h>
#include <vector>

using namespace asyncsock;

namespace {

struct LineSocket : ConnectedSocket {
    std::vector<std::string> lines;
    LineSocket() {
        socket->SetLineMode(true);
        socket->OnDataAvailable = [this](TCustomAsyncSocket* s, uint16_t) {
            lines.push_back(s->ReceiveText());
        };
    }
};

TEST(LineMode, TerminatorSplitAcrossReadsIsFound) {
    LineSocket c;
    testsupport::SendAll(c.peer, "ab\r");
    testsupport::PumpFor(50);
    EXPECT_TRUE(c.lines.empty());
    testsupport::SendAll(c.peer, "\ncd\r\n");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return c.lines.size() == 2; }, 1000));
    EXPECT_EQ(c.lines, (std::vector<std::string>{"ab\r\n", "cd\r\n"}));
}

TEST(LineMode, SeveralLinesInOneReadComeOneEventEach) {
    LineSocket c;
    testsupport::SendAll(c.peer, "one\r\ntwo\r\nthr");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return c.lines.size() == 2; }, 1000));
    EXPECT_EQ(c.socket->BufferedCount(), 3);
    c.socket->LineEnd = "\n";
    testsupport::SendAll(c.peer, "ee\n");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return c.lines.size() == 3; }, 1000));
    EXPECT_EQ(c.lines[2], "three\n");
}

TEST(LineMode, LimitEventReportsBufferedCountAndClearsByDefault) {
    LineSocket c;
    std::vector<int> reported;
    c.socket->OnLineLimitExceeded = [&](TCustomAsyncSocket*, int length, bool&) {
        reported.push_back(length);
    };
    testsupport::SendAll(c.peer, std::string(65536, 'a'));
    testsupport::PumpFor(80);
    EXPECT_TRUE(reported.empty()); // exactly at the limit is still allowed
    testsupport::SendAll(c.peer, "b");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !reported.empty(); }, 1000));
    EXPECT_EQ(reported.front(), 65537);
    EXPECT_EQ(c.socket->BufferedCount(), 0);
    testsupport::SendAll(c.peer, "ok\r\n");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return c.lines.size() == 1; }, 1000));
    EXPECT_EQ(c.lines[0], "ok\r\n");
}

TEST(LineMode, UnterminatedRestIsHandedOutAtClose) {
    LineSocket c;
    bool closed = false;
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket*, uint16_t) { closed = true; };
    testsupport::SendAll(c.peer, "line\r\nrest");
    c.ClosePeer();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return closed; }, 1000));
    EXPECT_EQ(c.lines, (std::vector<std::string>{"line\r\n", "rest"}));
}

TEST(LineMode, SwitchingOffRedeliversBufferedBytesRaw) {
    LineSocket c;
    testsupport::SendAll(c.peer, "partial");
    testsupport::PumpFor(50);
    ASSERT_TRUE(c.lines.empty());
    c.socket->SetLineMode(false);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return c.lines.size() == 1; }, 1000));
    EXPECT_EQ(c.lines[0], "partial");
    // A handler that reads nothing does not make the redelivery spin.
    int calls = 0;
    c.socket->OnDataAvailable = [&](TCustomAsyncSocket*, uint16_t) { ++calls; };
    c.socket->SetLineMode(true);
    testsupport::SendAll(c.peer, "x\r\n");
    testsupport::PumpFor(100);
    EXPECT_EQ(calls, 1);
}

TEST(LineMode, LineEditAppliesBackspaceAndTabsAndEchoes) {
    LineSocket c;
    c.socket->LineEdit = true;
    c.socket->LineEcho = true;
    testsupport::SendAll(c.peer, "abx\bc\td\r\n");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return c.lines.size() == 1; }, 1000));
    EXPECT_EQ(c.lines[0], "abc     d\r\n");
    std::string echo = testsupport::ReadUntil(
        c.peer, [](const std::string& s) { return s.size() >= 15; }, 1000);
    EXPECT_EQ(echo, "abx\b \bc     d\r\n");
}

} // namespace
