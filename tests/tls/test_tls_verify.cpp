// What a client that asked for TLS trusts: certificates are verified against an authority
// and the host name unless turned off; no password leaves without TLS; a silent TLS peer
// never holds the caller past its time-out.
#include "smtpclient/smtpsender.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/upstream.h"
#include "tests/tls/tls_peer.h"

#include <gtest/gtest.h>

using namespace smtpclient;
using testsupport::CertificateFromTestAuthority;
using testsupport::ExpectLine;
using testsupport::Hold;
using testsupport::Packet;
using testsupport::ScriptedPeer;
using testsupport::Upstream;

namespace {

TRelayOptions ImplicitTls() {
    TRelayOptions options;
    options.SystemName = "vantro-test";
    options.FullSSL = true;
    options.TimeoutMs = 10000;
    return options;
}

bool Relay(const TRelayOptions& options, const std::string& hostAndPort, std::string& reason) {
    return RelayMessage(options, "a@b.example", "c@d.example", hostAndPort, {"verified?"}, "kalvex",
                        "739104", &reason);
}

TEST(TlsVerification, SelfSignedServerIsRefusedByDefaultAndUsedWithVerificationOff) {
    Upstream upstream({"--implicit", testsupport::TestCertificate(), "--user", "kalvex:739104"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::string reason;
    EXPECT_FALSE(Relay(ImplicitTls(), upstream.HostAndPort(), reason));
    EXPECT_EQ(reason.rfind("TLS handshake failed: 10091 certificate verify failed: ", 0), 0u)
        << reason;
    EXPECT_NE(reason.find("self-signed"), std::string::npos) << reason;

    TRelayOptions off = ImplicitTls();
    off.VerifyCert = false;
    EXPECT_TRUE(Relay(off, upstream.HostAndPort(), reason)) << reason;
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages().size(), 1u); // the refused attempt delivered nothing
    EXPECT_EQ(upstream.Messages()[0].authUser, "kalvex");
}

TEST(TlsVerification, ALegacyServerIsRefusedUntilTheUserLowersTheMinimumToTls10) {
    // TLS 1.0 only, AES-SHA with RSA key exchange: no forward secrecy.
    Upstream legacy(
        {"--implicit", testsupport::TestCertificate(), "--legacy-tls", "--user", "kalvex:739104"});
    ASSERT_TRUE(legacy.Ok()) << legacy.Log();
    TRelayOptions options = ImplicitTls();
    options.VerifyCert = false; // the test certificate is self-signed; the version is at issue
    std::string reason;
    EXPECT_FALSE(Relay(options, legacy.HostAndPort(), reason));
    EXPECT_EQ(reason.rfind("TLS handshake failed: 10091 ", 0), 0u) << reason;
    EXPECT_TRUE(legacy.Messages().empty()); // and no password went to it

    options.TlsMinimumVersion = 0x0301;
    EXPECT_TRUE(Relay(options, legacy.HostAndPort(), reason)) << reason;
    ASSERT_TRUE(legacy.WaitForMessages(1, 5000));
    EXPECT_EQ(legacy.Messages()[0].authUser, "kalvex");
}

TEST(TlsVerification, CertificateOfATrustedAuthorityIsCheckedAgainstTheHostTyped) {
    Upstream upstream({"--implicit", CertificateFromTestAuthority("DNS:localhost,IP:127.0.0.1")});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelayOptions options = ImplicitTls();
    options.TrustFile = testsupport::TestAuthorityFile();
    std::string reason;
    std::string port = std::to_string(upstream.Port());
    EXPECT_TRUE(Relay(options, "127.0.0.1:" + port, reason)) << reason;
    EXPECT_TRUE(Relay(options, "localhost:" + port, reason)) << reason;
    // Without the authority the same certificate is unknown.
    EXPECT_FALSE(Relay(ImplicitTls(), "127.0.0.1:" + port, reason));
    EXPECT_NE(reason.find("certificate verify failed"), std::string::npos) << reason;
}

TEST(TlsVerification, TrustedCertificateForAnotherNameIsRefusedOverStartTls) {
    Upstream upstream({"--starttls", CertificateFromTestAuthority("DNS:other.example"), "--user",
                       "kalvex:739104"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelayOptions options;
    options.SystemName = "vantro-test";
    options.AutoTLS = true;
    options.TrustFile = testsupport::TestAuthorityFile();
    std::string reason;
    EXPECT_FALSE(Relay(options, "localhost:" + std::to_string(upstream.Port()), reason));
    EXPECT_NE(reason.find("hostname mismatch"), std::string::npos) << reason;
    EXPECT_FALSE(Relay(options, upstream.HostAndPort(), reason));
    EXPECT_NE(reason.find("IP address mismatch"), std::string::npos) << reason;
    EXPECT_TRUE(upstream.Messages().empty());
}

TEST(TlsVerification, NoStartTlsOfferedMeansNoAuthWhenTlsWasAskedFor) {
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                       Packet("250-mx\r\n250-AUTH LOGIN CRAM-MD5\r\n250 SIZE 100\r\n"),
                       ExpectLine(), Packet("221 bye\r\n"), Hold(2000)});
    TRelayOptions options;
    options.SystemName = "vantro-test";
    options.AutoTLS = true;
    options.TimeoutMs = 5000;
    std::string reason;
    EXPECT_FALSE(Relay(options, "127.0.0.1:" + std::to_string(peer.Port()), reason));
    peer.Join();
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO vantro-test\r\n", "QUIT\r\n"}));
    EXPECT_EQ(reason, "STARTTLS not offered by the server: credentials not sent in clear text");
}

TEST(TlsTimeouts, SilentPeerDuringTheHandshakeIsATimeout) {
    ScriptedPeer peer({Hold(8000)});
    TSmtpSender client("vantro-test");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(peer.Port());
    client.FullSSL = true;
    client.Timeout = 500;
    EXPECT_FALSE(client.ConnectServer());
    // The old blocking read returned only when the peer gave up, with a reset.
    EXPECT_EQ(client.Sock().LastErrorCode(), 10060) << client.FailureReason;
    EXPECT_EQ(client.FailureReason, "TLS handshake failed: 10060 TLS handshake timed out");
    client.Sock().CloseConnection();
}

TEST(TlsTimeouts, GreetingLaterThanTheTimeoutIsATimeoutEvenWithBytesPending) {
    // After the handshake the server's session tickets are pending on the socket, so the
    // read starts at once and must still give up when the time-out passes.
    TlsPeer peer([](AdoptedSocket& socket) {
        socket.WaitReadable(6000); // silent until the client closes or gives up
        socket.SendText("220 late\r\n");
    });
    TSmtpSender client("vantro-test");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(peer.Port());
    client.FullSSL = true;
    client.Timeout = 500;
    client.Sock().TlsLayer().VerifyCert = false;
    peer.WaitUntilReady();
    EXPECT_FALSE(client.OpenSession());
    EXPECT_EQ(client.Sock().LastErrorCode(), 10060) << client.FailureReason;
    EXPECT_EQ(client.FailureReason.rfind("greeting failed: 10060 ", 0), 0u) << client.FailureReason;
    client.Sock().CloseConnection();
    peer.Join();
    EXPECT_TRUE(peer.HandshakeOk());
}

} // namespace
