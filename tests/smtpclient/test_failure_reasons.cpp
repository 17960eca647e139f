// Why a relay failed, one case per class of failure, against aiosmtpd where a real server
// can play the part and a scripted peer where it cannot; and the client's manners after a
// failure (a short QUIT, none on a broken connection), its greeting name and its parsing
// of what a server or the user may write.
#include "smtpclient/smtpsender.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/upstream.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace smtpclient;
using testsupport::CloseConnection;
using testsupport::ExpectLine;
using testsupport::Hold;
using testsupport::Packet;
using testsupport::Pause;
using testsupport::ScriptedPeer;
using testsupport::Upstream;

namespace {

TRelayOptions Options(int timeoutMs = 5000) {
    TRelayOptions options;
    options.SystemName = "mypc";
    options.TimeoutMs = timeoutMs;
    return options;
}

std::string Local(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

// The reason of one relay, or "relayed" when it went through.
std::string ReasonOf(const TRelayOptions& options, const std::string& hostAndPort,
                     const std::string& recipients = "c@d.example", const std::string& user = "",
                     const std::string& password = "") {
    std::string reason = "untouched";
    if (RelayMessage(options, "a@b.example", recipients, hostAndPort, {"Subject: x", "", "body"},
                     user, password, &reason))
        return reason == "untouched" ? "relayed" : "relayed but reason set: " + reason;
    return reason;
}

TEST(FailureReasons, ServerRefusalsNameTheStepTheAddressAndTheReply) {
    Upstream upstream(
        {"--user", "kalvex:739104", "--auth-required", "--refuse-rcpt", "nobody@d.example"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    EXPECT_EQ(ReasonOf(Options(), upstream.HostAndPort(), "c@d.example, nobody@d.example", "kalvex",
                       "739104"),
              "RCPT TO:<nobody@d.example> refused: 550 5.1.1 no such user here");
    EXPECT_EQ(ReasonOf(Options(), upstream.HostAndPort(), "c@d.example", "kalvex", "wrong"),
              "AUTH refused: 535 5.7.8 Authentication credentials invalid; "
              "MAIL FROM refused: 530 5.7.0 Authentication required");
    EXPECT_EQ(ReasonOf(Options(), upstream.HostAndPort(), "c@d.example", "kalvex", "739104"),
              "relayed");
}

TEST(FailureReasons, SocketFailuresCarryTheErrorNumberAndText) {
    int closedPort = testsupport::FreePort();
    EXPECT_EQ(ReasonOf(Options(), Local(closedPort)), "connect to 127.0.0.1 port " +
                                                          std::to_string(closedPort) +
                                                          " failed: 10061 Connection refused");

    ScriptedPeer silent({Packet("220 hi\r\n"), ExpectLine(), Hold(5000)});
    EXPECT_EQ(ReasonOf(Options(300), Local(silent.Port())),
              "EHLO failed: 10060 Connection timed out");
}

TEST(FailureReasons, DataRefusedAndEndOfDataRefused) {
    ScriptedPeer refusesData({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"),
                              ExpectLine(), Packet("250 ok\r\n"), ExpectLine(),
                              Packet("250 ok\r\n"), ExpectLine(),
                              Packet("554-5.3.4 message too big\r\n554 5.3.4 try less\r\n"),
                              ExpectLine(), Packet("221 bye\r\n"), Hold(2000)});
    EXPECT_EQ(ReasonOf(Options(), Local(refusesData.Port())),
              "DATA refused: 554-5.3.4 message too big / 554 5.3.4 try less");
    refusesData.Join();
    EXPECT_EQ(refusesData.LinesRead().back(), "QUIT\r\n"); // still a polite end

    ScriptedPeer refusesText({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"),
                              ExpectLine(), Packet("250 ok\r\n"), ExpectLine(),
                              Packet("250 ok\r\n"), ExpectLine(), Packet("354 go\r\n"),
                              ExpectLine(), ExpectLine(), ExpectLine(), ExpectLine(),
                              Packet("552 5.2.2 mailbox full\r\n"), Hold(2000)});
    EXPECT_EQ(ReasonOf(Options(), Local(refusesText.Port())),
              "end of data refused: 552 5.2.2 mailbox full");
}

TEST(FailureReasons, AnUpstreamSilentAfterTheTextIsWaitedForBeyondTheTimeOutAndNotAskedToQuit) {
    // Silent for three times the time-out after the end of the text, then gone: the reply to
    // the text is waited for (it may come minutes later), and the loss is the one moment at
    // which the server may hold a copy.
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"), ExpectLine(),
                       Packet("250 ok\r\n"), ExpectLine(), Packet("250 ok\r\n"), ExpectLine(),
                       Packet("354 go\r\n"), ExpectLine(), ExpectLine(), ExpectLine(), ExpectLine(),
                       Pause(1200), CloseConnection()});
    EXPECT_EQ(ReasonOf(Options(400), Local(peer.Port())),
              "end of data failed: 10054 Connection reset by peer; the whole text had been sent, "
              "so the server may have kept the message and the retry may deliver a second copy");
    peer.Join();
    // The connection was lost: no QUIT.
    EXPECT_EQ(peer.LinesRead().back(), ".\r\n");
}

TEST(FailureReasons, AnUpstreamThatStopsReadingMidTextEndsTheStepAtTheFirstStalledSend) {
    // After its 354 the upstream reads nothing more: 16 MB cannot all go into the socket
    // buffers, and the first send that cannot move a byte for the time-out ends the attempt
    // (a loop over the ten thousand pieces left would wait out a time-out for each).
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"), ExpectLine(),
                       Packet("250 ok\r\n"), ExpectLine(), Packet("250 ok\r\n"), ExpectLine(),
                       Packet("354 go\r\n"), Pause(4000)});
    std::vector<std::string> lines(16 * 1024, std::string(1022, 'x'));
    std::string reason;
    TFailureClass failure;
    EXPECT_FALSE(RelayMessage(Options(300), "a@b.example", "c@d.example", Local(peer.Port()), lines,
                              "", "", &reason, &failure));
    EXPECT_EQ(reason, "sending the text failed: 10060 Connection timed out");
    EXPECT_TRUE(failure.temporary);
}

TEST(FailureReasons, QuitAfterARefusalWaitsOnlyAShortTime) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"), ExpectLine(),
                       Packet("550 sender refused\r\n"), ExpectLine(), Hold(8000)});
    TSmtpSender client("mypc");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(peer.Port());
    client.Timeout = 60000;
    ASSERT_TRUE(client.OpenSession());
    EXPECT_FALSE(client.SendMailFrom("a@b.example", 10));
    client.QuitBriefly(); // with the full minute this would outlast the peer's hold
    EXPECT_EQ(client.Sock().Handle(), -1);
    EXPECT_EQ(client.Timeout, 60000);
    peer.Join();
    EXPECT_EQ(peer.LinesRead().back(), "QUIT\r\n");
}

TEST(GreetingName, HostNamesAreKeptAndAnythingElseBecomesTheAddressLiteral) {
    for (const char* valid : {"mypc", "mail-1.corp.example", "A9"})
        EXPECT_TRUE(IsGreetingHostName(valid)) << valid;
    for (const char* invalid : {"", "first_last", "a+tag", "two words", "x@y", "\xD5\xC5"})
        EXPECT_FALSE(IsGreetingHostName(invalid)) << invalid;

    for (const std::string name : {"first_last", "a+b", "", "mail-1.example"}) {
        ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"), Hold(2000)});
        TSmtpSender client(name);
        client.TargetHost = "127.0.0.1";
        client.TargetPort = std::to_string(peer.Port());
        ASSERT_TRUE(client.OpenSession());
        client.Sock().CloseConnection();
        peer.Join();
        std::string expected = name == "mail-1.example" ? name : "[127.0.0.1]";
        EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO " + expected + "\r\n"}));
    }
}

TEST(ClientParsing, SizeOfAnyLengthSaturates) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                       Packet("250-mx\r\n250 SIZE 99999999999999999999999\r\n"), Hold(2000)});
    TSmtpSender client("mypc");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(peer.Port());
    ASSERT_TRUE(client.OpenSession());
    EXPECT_EQ(client.MaxSize, 2147483647);
    client.Sock().CloseConnection();
}

TEST(ClientParsing, IPv6LiteralsKeepTheirColons) {
    std::string host, port;
    SplitHostAndPort("[::1]", host, port);
    EXPECT_EQ(host + "|" + port, "::1|25");
    SplitHostAndPort("[::1]:2525", host, port);
    EXPECT_EQ(host + "|" + port, "::1|2525");
    SplitHostAndPort("fe80::1:2", host, port);
    EXPECT_EQ(host + "|" + port, "fe80::1:2|25");
    SplitHostAndPort("smtp.example.com:587", host, port);
    EXPECT_EQ(host + "|" + port, "smtp.example.com|587");
}

TEST(ClientParsing, RelayReachesAnIPv6LoopbackServer) {
    int port = 0;
    int listener = testsupport::ListenLoopbackV6(port);
    if (listener < 0) GTEST_SKIP() << "no IPv6 loopback here";
    std::thread server = testsupport::AnswerOnce(listener, "554 go away\r\n");
    EXPECT_EQ(ReasonOf(Options(), "[::1]:" + std::to_string(port)),
              "greeting refused: 554 go away");
    server.join();
    ::close(listener);
}

} // namespace
