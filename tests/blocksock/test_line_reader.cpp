// The read-ahead line reader against peers that choose their packet boundaries.
#include "blocksock/blocksock.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

using namespace blocksock;
using testsupport::ExpectLine;
using testsupport::Hold;
using testsupport::Packet;
using testsupport::Pause;
using testsupport::ScriptedPeer;

namespace {

struct Client {
    TTcpBlockingSocket socket;
    explicit Client(const ScriptedPeer& peer, bool convert = true) {
        socket.ConvertLineEnd = convert;
        socket.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
        EXPECT_EQ(socket.LastErrorCode(), 0);
    }
    std::vector<std::string> Lines(int n, int timeoutMs = 2000) {
        std::vector<std::string> lines;
        for (int i = 0; i < n; ++i) lines.push_back(socket.ReceiveLine(timeoutMs));
        return lines;
    }
};

TEST(LineReader, CrAtTheEndOfOnePacketAndLfAtTheStartOfTheNextGiveTwoLines) {
    ScriptedPeer peer({Packet("250-first\r"), Pause(80), Packet("\n250 second\r\n"), Hold(1000)});
    Client c(peer);
    EXPECT_EQ(c.Lines(2), (std::vector<std::string>{"250-first", "250 second"}));
    EXPECT_TRUE(c.socket.ReadAhead.empty());
    EXPECT_EQ(c.socket.LastErrorCode(), 0);
}

TEST(LineReader, WithConversionLoneLfLoneCrAndLfCrEachEndALine) {
    ScriptedPeer peer({Packet("a\nb\rc\n\rd\r\n"), Hold(1000)});
    Client c(peer);
    EXPECT_EQ(c.Lines(4), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(LineReader, LfCrPairIsOneLineEnd) {
    ScriptedPeer peer({Packet("a\n\rb\r\n"), Hold(1000)});
    Client c(peer);
    EXPECT_EQ(c.Lines(2), (std::vector<std::string>{"a", "b"}));
}

TEST(LineReader, WithoutConversionOnlyCrLfEndsALine) {
    ScriptedPeer peer({Packet("a\nb\rc\r\n"), Hold(1000)});
    Client c(peer, false);
    EXPECT_EQ(c.Lines(1), (std::vector<std::string>{"a\nb\rc"}));
}

TEST(LineReader, BytesAfterALineAreServedFromReadAheadWithoutTheNetwork) {
    ScriptedPeer peer({Packet("one\r\ntwo\r\nthr"), testsupport::CloseConnection()});
    Client c(peer);
    EXPECT_EQ(c.socket.ReceiveLine(2000), "one");
    EXPECT_EQ(c.socket.ReadAhead, "two\r\nthr");
    peer.Join(); // the peer has closed; the next line still comes without an error
    EXPECT_EQ(c.socket.ReceiveLine(2000), "two");
    EXPECT_EQ(c.socket.LastErrorCode(), 0);
    EXPECT_EQ(c.socket.ReceiveLine(2000), "");
    EXPECT_EQ(c.socket.LastErrorCode(), 10054);
    EXPECT_EQ(c.socket.LastErrorText(), "Connection reset by peer");
    EXPECT_EQ(c.socket.ReadAhead, "thr"); // the unfinished line is not lost
}

TEST(LineReader, SilentServerTimesOutKeepingThePartialLine) {
    ScriptedPeer peer({Packet("220 partial"), Pause(400), Packet(" line\r\n"), Hold(1000)});
    Client c(peer);
    EXPECT_EQ(c.socket.ReceiveLine(150), "");
    EXPECT_EQ(c.socket.LastErrorCode(), 10060);
    EXPECT_EQ(c.socket.LastErrorText(), "Connection timed out");
    EXPECT_EQ(c.socket.ReadAhead, "220 partial");
    EXPECT_NE(c.socket.Handle(), -1);
    EXPECT_EQ(c.socket.ReceiveLine(2000), "220 partial line");
}

TEST(LineReader, TotalTimeoutWhenNotPerPacket) {
    std::vector<testsupport::PeerStep> drip;
    for (int i = 0; i < 20; ++i) {
        drip.push_back(Packet("x"));
        drip.push_back(Pause(50));
    }
    ScriptedPeer peer(drip);
    Client c(peer);
    c.socket.InterPacketTimeout = false;
    EXPECT_EQ(c.socket.ReceiveLine(300), "");
    EXPECT_EQ(c.socket.LastErrorCode(), 10060);
    EXPECT_FALSE(c.socket.ReadAhead.empty());
    EXPECT_LT(c.socket.ReadAhead.size(), 20u);
}

TEST(LineReader, OverlongLineFailsWithNoBufferSpace) {
    ScriptedPeer peer({Packet(std::string(100, 'y')), Hold(1000)});
    Client c(peer);
    c.socket.MaxLineLength = 50;
    EXPECT_EQ(c.socket.ReceiveLine(2000), "");
    EXPECT_EQ(c.socket.LastErrorCode(), 10055);
    EXPECT_EQ(c.socket.LastErrorText(), "No Buffer space available");
}

TEST(LineReader, TheLimitIsOnTheLineNotOnLinesThatArrivedWithIt) {
    // Many short lines in one packet, longer together than the limit, then one that is not.
    std::string shortLines;
    for (int i = 0; i < 20; ++i) shortLines += "line " + std::to_string(i) + "\r\n";
    ScriptedPeer peer({Packet(shortLines + std::string(60, 'z') + "\r\n"), Hold(1000)});
    Client c(peer);
    c.socket.MaxLineLength = 50;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(c.socket.ReceiveLine(2000), "line " + std::to_string(i));
        EXPECT_EQ(c.socket.LastErrorCode(), 0);
    }
    EXPECT_EQ(c.socket.ReceiveLine(2000), "");
    EXPECT_EQ(c.socket.LastErrorCode(), 10055); // that one is over the limit, its end or not
}

TEST(LineReader, OtherTerminatorsAndEmptyTerminator) {
    ScriptedPeer peer({Packet("key: value;next"), Hold(1000)});
    Client c(peer);
    EXPECT_EQ(c.socket.ReceiveUntil(2000, ""), "");
    EXPECT_EQ(c.socket.ReceiveUntil(2000, ";"), "key: value");
    EXPECT_EQ(c.socket.ReadAhead, "next");
}

TEST(LineReader, ReadFilterMayShortenWhatTheCallerSees) {
    ScriptedPeer peer({Packet("secret\r\n"), Hold(1000)});
    std::vector<TSocketStatusReason> reasons; // outlive the socket, whose destruction reports too
    int monitored = 0;
    Client c(peer);
    c.socket.OnStatus = [&](TBlockingSocket*, TSocketStatusReason r, const std::string&) {
        reasons.push_back(r);
    };
    c.socket.OnMonitor = [&](TBlockingSocket*, bool writing, const void*, int len) {
        if (!writing) monitored += len;
    };
    c.socket.OnReadFilter = [](TBlockingSocket*, std::string& value) {
        value = "sec" + std::string(100, '!'); // longer results are cut back to the original length
        value[3] = '\r';
        value[4] = '\n';
    };
    EXPECT_EQ(c.socket.ReceiveLine(2000), "sec");
    EXPECT_EQ(monitored, 8);
    EXPECT_NE(std::find(reasons.begin(), reasons.end(), TSocketStatusReason::StatusBytesRead),
              reasons.end());
}

} // namespace
