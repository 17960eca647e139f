// The client against scripted servers, for what a real server would not do: refuse EHLO,
// send an empty challenge, stop answering, split a reply across packets.
#include "smtpclient/codecs.h"
#include "smtpclient/smtpsender.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

using namespace smtpclient;
using testsupport::ExpectLine;
using testsupport::ExpectPacket;
using testsupport::Hold;
using testsupport::Packet;
using testsupport::Pause;
using testsupport::ScriptedPeer;

namespace {

TSmtpSender ClientFor(const ScriptedPeer& peer) {
    TSmtpSender client("mypc");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(peer.Port());
    client.Timeout = 2000;
    return client;
}

TEST(SmtpClientScripted, RefusedEhloFallsBackToHeloWithoutCapabilities) {
    ScriptedPeer peer({Packet("220 old server\r\n"), ExpectLine(), Packet("500 what?\r\n"),
                       ExpectLine(), Packet("250 hello\r\n"), ExpectLine(), Packet("250 ok\r\n"),
                       Hold(2000)});
    TSmtpSender client("mypc");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(peer.Port());
    client.AutoTLS = true;
    client.UserName = "kalvex";
    client.Password = "739104";
    ASSERT_TRUE(client.OpenSession());
    EXPECT_FALSE(client.ESMTP);
    EXPECT_TRUE(client.ESMTPcap.empty());
    EXPECT_FALSE(client.AuthDone);
    EXPECT_TRUE(client.SendMailFrom("a@b.example", 1234));
    client.Sock().CloseConnection();
    peer.Join();
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO mypc\r\n", "HELO mypc\r\n",
                                                          "MAIL FROM:<a@b.example>\r\n"}));
}

TEST(SmtpClientScripted, CapabilitiesSizeAndAReplySplitAcrossPackets) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                       Packet("250-mx.example\r\n250-PIPELINING\r"), Pause(50),
                       Packet("\n250-SIZE 10240000\r\n250-AUTH GSSAPI\r\n250 8BITMIME\r\n"),
                       ExpectLine(), Packet("250-2.1.0 sender ok\r\n250 done\r\n"), Hold(2000)});
    TSmtpSender client = ClientFor(peer);
    client.UserName = "u";
    ASSERT_TRUE(client.OpenSession());
    EXPECT_EQ(client.ESMTPcap,
              (std::vector<std::string>{"PIPELINING", "SIZE 10240000", "AUTH GSSAPI", "8BITMIME"}));
    EXPECT_TRUE(client.ESMTPSize);
    EXPECT_EQ(client.MaxSize, 10240000);
    EXPECT_FALSE(client.AuthDone); // GSSAPI alone: no mechanism of ours
    EXPECT_EQ(client.FindCapability("size"), "SIZE 10240000");
    EXPECT_EQ(client.FindCapability("STARTTLS"), "");
    EXPECT_TRUE(client.SendMailFrom("a@b.example", 77));
    EXPECT_EQ(client.ResultCode, 250);
    EXPECT_EQ(client.ResultString, "250 done");
    EXPECT_EQ(client.FullResult.size(), 2u);
    EXPECT_EQ(client.EnhCode1, 2);
    EXPECT_EQ(client.EnhCode2, 1);
    EXPECT_EQ(client.EnhCode3, 0);
    client.Sock().CloseConnection();
    peer.Join();
    EXPECT_EQ(peer.LinesRead()[1], "MAIL FROM:<a@b.example> SIZE=77\r\n");
}

TEST(SmtpClientScripted, EnhancedCodesNeedAllThreeParts) {
    TSmtpSender client("x");
    client.ParseEnhancedCode("550 5.7.1 relaying denied");
    EXPECT_EQ(client.EnhCode1 * 10000 + client.EnhCode2 * 100 + client.EnhCode3, 50701);
    client.ParseEnhancedCode("250 ok fine");
    EXPECT_EQ(client.EnhCode1 + client.EnhCode2 + client.EnhCode3, 0);
    client.ParseEnhancedCode("550 0.1.2 zero first");
    EXPECT_EQ(client.EnhCode1, 0);
    client.ParseEnhancedCode("550 5.1234.1 too long");
    EXPECT_EQ(client.EnhCode1, 0);
    client.ParseEnhancedCode("250");
    EXPECT_EQ(client.EnhCode1, 0);
}

TEST(SmtpClientScripted, EmptyCramChallengeIsStillAnsweredAndRefusalFallsBackToLogin) {
    std::string cram =
        codecs::Base64Encode("kalvex " + codecs::HexLower(codecs::HmacMd5("", "739104")));
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                       Packet("250-mx\r\n250 AUTH CRAM-MD5 LOGIN\r\n"), ExpectLine(),
                       Packet("334 \r\n"), ExpectLine(), Packet("535 no\r\n"), ExpectLine(),
                       Packet("334 VXNlcm5hbWU6\r\n"), ExpectLine(), Packet("334 UGFzc3dvcmQ6\r\n"),
                       ExpectLine(), Packet("235 welcome\r\n"), Hold(2000)});
    TSmtpSender client = ClientFor(peer);
    client.UserName = "kalvex";
    client.Password = "739104";
    ASSERT_TRUE(client.OpenSession());
    EXPECT_TRUE(client.AuthDone);
    client.Sock().CloseConnection();
    peer.Join();
    EXPECT_EQ(peer.LinesRead(),
              (std::vector<std::string>{"EHLO mypc\r\n", "AUTH CRAM-MD5\r\n", cram + "\r\n",
                                        "AUTH LOGIN\r\n", "a2FsdmV4\r\n", "NzM5MTA0\r\n"}));
}

TEST(SmtpClientScripted, OldStyleAuthEqualsLineAndEmptyUserName) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250-mx\r\n250 AUTH=LOGIN\r\n"),
                       ExpectLine(), Packet("334 x\r\n"), ExpectLine(), Packet("334 y\r\n"),
                       ExpectLine(), Packet("235 ok\r\n"), Hold(2000)});
    TSmtpSender client = ClientFor(peer);
    client.Password = "pw";
    ASSERT_TRUE(client.OpenSession());
    EXPECT_TRUE(client.AuthDone);
    client.Sock().CloseConnection();
    peer.Join();
    EXPECT_EQ(peer.LinesRead(),
              (std::vector<std::string>{"EHLO mypc\r\n", "AUTH LOGIN\r\n", "\r\n", "cHc=\r\n"}));
}

TEST(SmtpClientScripted, SilentServerTimesOutAndTheRelayFails) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Hold(3000)});
    TRelayOptions options;
    options.SystemName = "mypc";
    options.TimeoutMs = 200;
    EXPECT_FALSE(RelayMessage(options, "a@b.example", "c@d.example",
                              "127.0.0.1:" + std::to_string(peer.Port()),
                              {"Subject: x", "", "body"}, "", ""));
}

TEST(SmtpClientScripted, ResetDuringDataFailsTheRelay) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"), ExpectLine(),
                       Packet("250 ok\r\n"), ExpectLine(), Packet("250 ok\r\n"), ExpectLine(),
                       Packet("354 go\r\n"), ExpectLine(), testsupport::ResetConnection()});
    TRelayOptions options;
    options.SystemName = "mypc";
    options.TimeoutMs = 2000;
    std::vector<std::string> lines(2000, std::string(100, 'm'));
    EXPECT_FALSE(RelayMessage(options, "a@b.example", "c@d.example",
                              "127.0.0.1:" + std::to_string(peer.Port()), lines, "", ""));
}

TEST(SmtpClientScripted, RecipientListStartingWithACommaSendsNoRcptButStillQuits) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"), ExpectLine(),
                       Packet("250 ok\r\n"), ExpectLine(), Packet("221 bye\r\n"), Hold(2000)});
    TRelayOptions options;
    options.SystemName = "mypc";
    std::string reason;
    TFailureClass failure;
    EXPECT_FALSE(RelayMessage(options, "Zhang <a@b.example>", ",c@d.example",
                              "127.0.0.1:" + std::to_string(peer.Port()), {"x"}, "", "", &reason,
                              &failure));
    EXPECT_EQ(reason, "no recipient address in \",c@d.example\"");
    EXPECT_FALSE(failure.temporary);
    peer.Join();
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{
                                    "EHLO mypc\r\n", "MAIL FROM:<a@b.example>\r\n", "QUIT\r\n"}));
}

TEST(SmtpClientScripted, UnreachableOrRefusingHostsFailWithoutThrowing) {
    TRelayOptions options;
    options.SystemName = "mypc";
    EXPECT_FALSE(RelayMessage(options, "a@b", "c@d",
                              "127.0.0.1:" + std::to_string(testsupport::FreePort()), {"x"}, "",
                              ""));
    EXPECT_FALSE(RelayMessage(options, "a@b", "c@d", "no-such-host.invalid:25", {"x"}, "", ""));
    options.FullSSL = true; // the plug-in that does nothing fails every handshake
    ScriptedPeer peer({Hold(2000)});
    EXPECT_FALSE(RelayMessage(options, "a@b", "c@d", "127.0.0.1:" + std::to_string(peer.Port()),
                              {"x"}, "", ""));
}

TEST(SmtpClientScripted, HostAndPortSplitting) {
    std::string host, port;
    SplitHostAndPort("smtp.example.com", host, port);
    EXPECT_EQ(host + "|" + port, "smtp.example.com|25");
    SplitHostAndPort(" smtp.example.com : 587 ", host, port);
    EXPECT_EQ(host + "|" + port, "smtp.example.com|587");
    SplitHostAndPort("smtp.example.com:", host, port);
    EXPECT_EQ(host + "|" + port, "smtp.example.com|25");
    EXPECT_EQ(MessageSize(TVectorLineSource({"ab", "", "c"})), 9);
}

} // namespace

namespace {

TEST(SmtpClientScripted, DataGoesOutInChunksUnder1500BytesThenTheDotAlone) {
    std::vector<testsupport::PeerStep> script = {Packet("220 hi\r\n"), ExpectLine(),
                                                 Packet("250 mx\r\n"), ExpectLine(),
                                                 Packet("354 go\r\n")};
    script.push_back(Hold(3000));
    ScriptedPeer peer(script);
    TSmtpSender client = ClientFor(peer);
    ASSERT_TRUE(client.OpenSession());
    std::vector<int> sends;
    client.Sock().OnMonitor = [&](blocksock::TBlockingSocket*, bool writing, const void*, int len) {
        if (writing) sends.push_back(len);
    };
    std::vector<std::string> lines(7, std::string(400, 'a'));
    lines[3] = std::string(2000, 'b'); // longer than a chunk: goes out whole
    lines.push_back(".");
    client.Timeout = 100;
    EXPECT_FALSE(client.SendData(lines)); // the script never confirms the end
    // DATA, then 3 lines (1206 bytes), the long line, 3 more lines plus the stuffed dot,
    // and the terminator on its own.
    EXPECT_EQ(sends, (std::vector<int>{6, 1206, 2002, 1210, 3}));
}

} // namespace

namespace {

// A secret source that counts its fetches and hands out `secret`, or fails with `reason`.
TSecretSource CountingSource(TSecretSource::Kind kind, int& fetches, std::string secret,
                             std::string reason = {}) {
    TSecretSource source;
    source.kind = kind;
    source.id = "helper";
    source.fetch = [&fetches, secret, reason](TSecretFetch& fetched) {
        ++fetches;
        fetched.secret = secret;
        fetched.reason = reason;
        return reason.empty();
    };
    return source;
}

} // namespace

TEST(SmtpClientScripted, PlainIsUsedOnlyWhereNeitherCramMd5NorLoginIsOffered) {
    {
        ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                           Packet("250-mx\r\n250 AUTH PLAIN-CLIENTTOKEN PLAIN\r\n"), ExpectLine(),
                           Packet("235 2.7.0 ok\r\n"), Hold(2000)});
        TSmtpSender client = ClientFor(peer);
        client.UserName = "kalvex";
        client.Password = "739104";
        ASSERT_TRUE(client.OpenSession());
        EXPECT_TRUE(client.AuthDone);
        client.Sock().CloseConnection();
        peer.Join();
        EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{
                                        "EHLO mypc\r\n", "AUTH PLAIN AGthbHZleAA3MzkxMDQ=\r\n"}));
    }
    {
        // LOGIN is offered beside PLAIN: LOGIN is chosen, and its refusal is not followed by a
        // third try of the same password.
        ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                           Packet("250-mx\r\n250 AUTH PLAIN LOGIN\r\n"), ExpectLine(),
                           Packet("334 VXNlcm5hbWU6\r\n"), ExpectLine(),
                           Packet("334 UGFzc3dvcmQ6\r\n"), ExpectLine(),
                           Packet("535 5.7.8 bad credentials\r\n"), Hold(2000)});
        TSmtpSender client = ClientFor(peer);
        client.UserName = "kalvex";
        client.Password = "739104";
        ASSERT_TRUE(client.OpenSession()); // the server decides at MAIL, as before
        EXPECT_FALSE(client.AuthDone);
        EXPECT_EQ(client.AuthRefusal, "AUTH refused: 535 5.7.8 bad credentials");
        client.Sock().CloseConnection();
        peer.Join();
        EXPECT_EQ(peer.LinesRead().size(), 4u);
        EXPECT_EQ(peer.LinesRead()[1], "AUTH LOGIN\r\n");
    }
    {
        // PLAIN-CLIENTTOKEN is not PLAIN.
        ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                           Packet("250-mx\r\n250 AUTH PLAIN-CLIENTTOKEN XOAUTH\r\n"), Hold(2000)});
        TSmtpSender client = ClientFor(peer);
        client.Password = "739104";
        ASSERT_TRUE(client.OpenSession());
        EXPECT_FALSE(client.AuthDone);
        EXPECT_EQ(client.AuthRefusal, "AUTH not sent: no CRAM-MD5, LOGIN or PLAIN among \"AUTH "
                                      "PLAIN-CLIENTTOKEN XOAUTH\"");
        client.Sock().CloseConnection();
        peer.Join();
        EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO mypc\r\n"}));
    }
}

TEST(SmtpClientScripted, AFetchedPasswordReplacesTheStoredOneAndIsFetchedOnlyToAuthenticate) {
    int fetches = 0;
    {
        ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                           Packet("250-mx\r\n250 AUTH LOGIN\r\n"), ExpectLine(),
                           Packet("334 x\r\n"), ExpectLine(), Packet("334 y\r\n"), ExpectLine(),
                           Packet("235 ok\r\n"), Hold(2000)});
        TSmtpSender client = ClientFor(peer);
        client.UserName = "kalvex";
        client.Password = "stored";
        client.Secret = CountingSource(TSecretSource::Kind::Password, fetches, "from-keyring");
        ASSERT_TRUE(client.OpenSession());
        EXPECT_TRUE(client.AuthDone);
        EXPECT_EQ(client.Password, ""); // not kept once used
        client.Sock().CloseConnection();
        peer.Join();
        EXPECT_EQ(peer.LinesRead().back(), "ZnJvbS1rZXlyaW5n\r\n"); // "from-keyring"
    }
    EXPECT_EQ(fetches, 1);
    {
        // No AUTH offered: nothing to fetch for.
        ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250 mx\r\n"), Hold(2000)});
        TSmtpSender client = ClientFor(peer);
        client.Secret = CountingSource(TSecretSource::Kind::Password, fetches, "from-keyring");
        ASSERT_TRUE(client.OpenSession());
        client.Sock().CloseConnection();
        peer.Join();
    }
    EXPECT_EQ(fetches, 1);
}

TEST(SmtpClientScripted, AFailedFetchEndsTheSessionBeforeAnyCredentialIsSent) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(), Packet("250-mx\r\n250 AUTH LOGIN\r\n"),
                       ExpectLine(), Packet("221 bye\r\n"), Hold(2000)});
    int fetches = 0;
    TRelayOptions options;
    options.SystemName = "mypc";
    options.TimeoutMs = 2000;
    options.Secret = CountingSource(TSecretSource::Kind::Password, fetches, "",
                                    "password command failed: exit status 1: locked");
    std::string reason;
    EXPECT_FALSE(RelayMessage(options, "a@b.example", "c@d.example",
                              "127.0.0.1:" + std::to_string(peer.Port()), {"x"}, "kalvex", "stored",
                              &reason));
    peer.Join();
    EXPECT_EQ(reason, "password command failed: exit status 1: locked");
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO mypc\r\n", "QUIT\r\n"}));
}

TEST(SmtpClientScripted, ATokenIsNeverSentOnAPlainConnection) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                       Packet("250-mx\r\n250 AUTH XOAUTH2 OAUTHBEARER\r\n"), ExpectLine(),
                       Packet("221 bye\r\n"), Hold(2000)});
    int fetches = 0;
    TRelayOptions options;
    options.SystemName = "mypc";
    options.TimeoutMs = 2000;
    options.Secret = CountingSource(TSecretSource::Kind::BearerToken, fetches, "ya29.token");
    std::string reason;
    EXPECT_FALSE(RelayMessage(options, "a@b.example", "c@d.example",
                              "127.0.0.1:" + std::to_string(peer.Port()), {"x"}, "me@gmail.example",
                              "", &reason));
    peer.Join();
    EXPECT_EQ(fetches, 0);
    EXPECT_NE(reason.find("OAuth token not sent: the connection to the server is not encrypted"),
              std::string::npos)
        << reason;
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO mypc\r\n", "QUIT\r\n"}));
}

namespace {

TEST(SmtpClientScripted, BytesAfterTheStartTlsReplyEndTheSessionBeforeAnyHandshakeOrAuth) {
    // The injected lines would answer the EHLO sent inside TLS: no AUTH offered, and every
    // later reply one behind.
    ScriptedPeer peer({Packet("220 mx ready\r\n"), ExpectLine(),
                       Packet("250-mx.example\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"), ExpectLine(),
                       Packet("220 go ahead\r\n250-mx.example\r\n250 SIZE 10\r\n"), Hold(2000)});
    TSmtpSender client = ClientFor(peer);
    client.AutoTLS = true;
    client.UserName = "kalvex";
    client.Password = "739104";
    EXPECT_FALSE(client.OpenSession());
    EXPECT_NE(client.FailureReason.find("came after the server's 220, before the TLS handshake"),
              std::string::npos)
        << client.FailureReason;
    EXPECT_FALSE(client.AuthDone);
    client.Sock().AbortConnection();
    peer.Join();
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO mypc\r\n", "STARTTLS\r\n"}));
}

TEST(SmtpClientScripted, WithCredentialsOnlyInsideTlsAPlainSessionSendsNoAuth) {
    for (bool onlyEncrypted : {true, false}) {
        ScriptedPeer peer({Packet("220 mx ready\r\n"), ExpectLine(),
                           Packet("250-mx.example\r\n250 AUTH LOGIN\r\n"), ExpectLine(),
                           Packet("334 VXNlcm5hbWU6\r\n"), ExpectLine(),
                           Packet("334 UGFzc3dvcmQ6\r\n"), ExpectLine(), Packet("235 ok\r\n"),
                           Hold(2000)});
        TSmtpSender client = ClientFor(peer);
        client.CredentialsOnlyEncrypted = onlyEncrypted;
        client.UserName = "kalvex";
        client.Password = "739104";
        EXPECT_TRUE(client.OpenSession()) << client.FailureReason;
        EXPECT_EQ(client.AuthDone, !onlyEncrypted);
        client.Sock().AbortConnection();
        peer.Join();
        bool authSent = false;
        for (const std::string& line : peer.LinesRead()) authSent |= line.rfind("AUTH", 0) == 0;
        EXPECT_EQ(authSent, !onlyEncrypted) << "onlyEncrypted=" << onlyEncrypted;
    }
}

} // namespace

namespace {

TEST(SmtpClientScripted, RepliesBeyondTheirLimitsFailTheStepAndNameTheLimit) {
    // A line that never ends.
    ScriptedPeer endless({Packet(std::string(6000, 'x')), Hold(2000)});
    TSmtpSender first = ClientFor(endless);
    EXPECT_FALSE(first.OpenSession());
    EXPECT_EQ(first.FailureReason,
              "greeting failed: the server sent a reply line of more than 4096 bytes (the limit)");
    first.Sock().AbortConnection();
    endless.Join();
    // A multi-line reply that never ends.
    std::string lines;
    for (int i = 0; i < 1200; ++i) lines += "250-capability " + std::to_string(i) + "\r\n";
    ScriptedPeer many({Packet("220 hi\r\n"), ExpectLine(), Packet(lines), Hold(2000)});
    TSmtpSender second = ClientFor(many);
    EXPECT_FALSE(second.OpenSession());
    EXPECT_NE(second.FailureReason.find("a reply of more than 1000 lines (the limit)"),
              std::string::npos)
        << second.FailureReason;
    EXPECT_LE(second.FullResult.size(), TSmtpSender::kMaxReplyLines);
    second.Sock().AbortConnection();
    many.Join();
}

TEST(SmtpClientScripted, TheTimeOutIsForTheWholeReplyAndACutOffReplyHasNoCode) {
    // Each piece comes well within the time-out, the whole greeting does not.
    ScriptedPeer slow({Packet("2"), Pause(400), Packet("20"), Pause(400), Packet(" hi"), Pause(400),
                       Packet("\r\n"), Hold(1000)});
    TSmtpSender client = ClientFor(slow);
    client.Timeout = 1000;
    EXPECT_FALSE(client.OpenSession());
    EXPECT_NE(client.FailureReason.find("greeting failed: 10060"), std::string::npos)
        << client.FailureReason;
    client.Sock().AbortConnection();
    slow.Join();
    // The first line of a reply and then silence: its "220" is not taken.
    ScriptedPeer cut({Packet("220-first line of two\r\n"), Hold(2000)});
    TSmtpSender other = ClientFor(cut);
    other.Timeout = 500;
    EXPECT_FALSE(other.OpenSession());
    EXPECT_EQ(other.ResultCode, 0);
    EXPECT_NE(other.FailureReason.find("greeting failed: 10060"), std::string::npos)
        << other.FailureReason;
    other.Sock().AbortConnection();
    cut.Join();
}

// What the server read, packet by packet, and how the relay decided, for a server that
// answers the envelope as `replies` say.
struct Pipelined {
    std::vector<std::string> reads;
    TRelayReport report;
};

Pipelined RelayPipelined(const std::string& capabilities, const std::vector<std::string>& replies,
                         std::vector<testsupport::PeerStep> afterReplies) {
    std::vector<testsupport::PeerStep> script = {Packet("220 hi\r\n"), ExpectLine(),
                                                 Packet("250-mx\r\n" + capabilities)};
    for (const std::string& reply : replies) {
        script.push_back(ExpectPacket());
        script.push_back(Packet(reply));
    }
    script.insert(script.end(), afterReplies.begin(), afterReplies.end());
    ScriptedPeer peer(script);
    TRelayOptions options;
    options.SystemName = "mypc";
    options.TimeoutMs = 2000;
    const std::vector<std::string> text = {"Subject: p", "", "body"};
    TVectorLineSource lines(text);
    Pipelined result;
    RelayMessage(options, "s@d.test", "a@d.test,b@d.test",
                 "127.0.0.1:" + std::to_string(peer.Port()), lines, "", "", result.report);
    peer.Join();
    result.reads = peer.LinesRead();
    return result;
}

std::string States(const TRelayReport& report) {
    std::string states;
    for (const auto& r : report.recipients)
        states += (states.empty() ? "" : " ") + r.address + "=" +
                  (r.state == TRecipientOutcome::State::Delivered ? "delivered"
                   : r.state == TRecipientOutcome::State::Refused ? "refused"
                                                                  : "deferred");
    return states;
}

TEST(SmtpClientScripted, WithPipeliningTheEnvelopeIsOneWriteAndEachRefusalIsDecidedAsAlone) {
    const std::string envelope =
        "MAIL FROM:<s@d.test>\r\nRCPT TO:<a@d.test>\r\nRCPT TO:<b@d.test>\r\nDATA\r\n";
    const std::string quit = "QUIT\r\n";
    // One refused recipient: the other gets the text.
    Pipelined one =
        RelayPipelined("250 PIPELINING\r\n", {"250 ok\r\n250 ok\r\n550 5.1.1 no\r\n354 go\r\n"},
                       {ExpectLine(), ExpectLine(), ExpectLine(), ExpectLine(),
                        Packet("250 stored\r\n"), ExpectLine(), Packet("221 bye\r\n")});
    ASSERT_GE(one.reads.size(), 2u);
    EXPECT_EQ(one.reads[1], envelope);
    EXPECT_EQ(States(one.report), "a@d.test=delivered b@d.test=refused");
    EXPECT_EQ(one.reads.back(), quit);
    // Every recipient refused, and yet a 354: the text is ended at once, then QUIT.
    Pipelined none = RelayPipelined(
        "250 PIPELINING\r\n", {"250 ok\r\n550 no\r\n451 later\r\n354 go\r\n"},
        {ExpectLine(), Packet("554 no valid recipients\r\n"), ExpectLine(), Packet("221 bye\r\n")});
    EXPECT_EQ(States(none.report), "a@d.test=refused b@d.test=deferred");
    ASSERT_EQ(none.reads.size(), 4u);
    EXPECT_EQ(none.reads[2], ".\r\n");
    EXPECT_EQ(none.reads[3], quit);
    // A refused MAIL: the replies to the RCPTs and DATA sent with it are read, nothing else
    // is sent but QUIT, and every recipient has the MAIL's refusal.
    Pipelined mail = RelayPipelined(
        "250 PIPELINING\r\n", {"451 4.3.0 busy\r\n503 no mail\r\n503 no mail\r\n503 no mail\r\n"},
        {ExpectLine(), Packet("221 bye\r\n")});
    EXPECT_EQ(States(mail.report), "a@d.test=deferred b@d.test=deferred");
    EXPECT_EQ(mail.report.reason, "MAIL FROM refused: 451 4.3.0 busy");
    ASSERT_EQ(mail.reads.size(), 3u);
    EXPECT_EQ(mail.reads[2], quit);
    // 452 after the first: the second goes in the next transaction, pipelined again.
    Pipelined more = RelayPipelined(
        "250 PIPELINING\r\n", {"250 ok\r\n250 ok\r\n452 4.5.3 too many\r\n354 go\r\n"},
        {ExpectLine(), ExpectLine(), ExpectLine(), ExpectLine(), Packet("250 stored\r\n"),
         ExpectPacket(), Packet("250 ok\r\n250 ok\r\n354 go\r\n"), ExpectLine(), ExpectLine(),
         ExpectLine(), ExpectLine(), Packet("250 stored\r\n"), ExpectLine(),
         Packet("221 bye\r\n")});
    EXPECT_EQ(States(more.report), "a@d.test=delivered b@d.test=delivered");
    ASSERT_GE(more.reads.size(), 7u);
    EXPECT_EQ(more.reads[6], "MAIL FROM:<s@d.test>\r\nRCPT TO:<b@d.test>\r\nDATA\r\n");
}

TEST(SmtpClientScripted, WithChunkingTooTheTextGoesWithItsEnvelopeAndEachRefusalIsDecidedAsAlone) {
    const std::string offered = "250-PIPELINING\r\n250 CHUNKING\r\n";
    const std::string chunk = "BDAT 20 LAST\r\nSubject: p\r\n\r\nbody\r\n";
    const std::string write =
        "MAIL FROM:<s@d.test>\r\nRCPT TO:<a@d.test>\r\nRCPT TO:<b@d.test>\r\n" + chunk;
    const auto quit = std::vector<testsupport::PeerStep>{ExpectLine(), Packet("221 bye\r\n")};
    struct Case {
        const char* what;
        std::vector<std::string> replies;
        std::vector<testsupport::PeerStep> after;
        std::string states;
        std::vector<std::string> writes; // after EHLO, QUIT left out
    } cases[] = {
        {"one refused recipient: the other has the text",
         {"250 ok\r\n250 ok\r\n550 5.1.1 no\r\n250 stored\r\n"},
         quit,
         "a@d.test=delivered b@d.test=refused",
         {write}},
        {"every recipient refused: the chunk's refusal is read, nothing more goes out",
         {"250 ok\r\n550 no\r\n451 later\r\n554 no valid recipients\r\n"},
         quit,
         "a@d.test=refused b@d.test=deferred",
         {write}},
        {"a refused MAIL: every recipient has its refusal",
         {"451 4.3.0 busy\r\n503 no mail\r\n503 no mail\r\n503 no mail\r\n"},
         quit,
         "a@d.test=deferred b@d.test=deferred",
         {write}},
        {"452 after the first: the second in a transaction of its own, with the text again",
         {"250 ok\r\n250 ok\r\n452 4.5.3 too many\r\n250 stored\r\n",
          "250 ok\r\n250 ok\r\n250 stored\r\n"},
         quit,
         "a@d.test=delivered b@d.test=delivered",
         {write, "MAIL FROM:<s@d.test>\r\nRCPT TO:<b@d.test>\r\n" + chunk}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pipelined run = RelayPipelined(offered, c.replies, c.after);
        EXPECT_EQ(States(run.report), c.states) << run.report.reason;
        ASSERT_EQ(run.reads.size(), c.writes.size() + 2); // EHLO, the writes, QUIT
        for (size_t i = 0; i < c.writes.size(); ++i) EXPECT_EQ(run.reads[i + 1], c.writes[i]);
        EXPECT_EQ(run.reads.back(), "QUIT\r\n");
    }
    // The connection lost after the write, before any reply: the server may hold it.
    Pipelined lost = RelayPipelined(offered, {}, {ExpectPacket(), testsupport::ResetConnection()});
    EXPECT_EQ(States(lost.report), "a@d.test=deferred b@d.test=deferred");
    EXPECT_NE(lost.report.reason.find("the retry may deliver a second copy"), std::string::npos)
        << lost.report.reason;
}

TEST(SmtpClientScripted, WithoutPipeliningEachCommandIsAWriteOfItsOwn) {
    Pipelined alone =
        RelayPipelined("250 SIZE\r\n", {"250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"},
                       {ExpectLine(), ExpectLine(), ExpectLine(), ExpectLine(),
                        Packet("250 stored\r\n"), ExpectLine(), Packet("221 bye\r\n")});
    EXPECT_EQ(States(alone.report), "a@d.test=delivered b@d.test=delivered");
    ASSERT_GE(alone.reads.size(), 5u);
    EXPECT_EQ(alone.reads[1], "MAIL FROM:<s@d.test> SIZE=20\r\n");
    EXPECT_EQ(alone.reads[2], "RCPT TO:<a@d.test>\r\n");
    EXPECT_EQ(alone.reads[3], "RCPT TO:<b@d.test>\r\n");
    EXPECT_EQ(alone.reads[4], "DATA\r\n");
}

} // namespace
