#include "tests/tls/tls_peer.h"

#include <gtest/gtest.h>

using blocksock::TTcpBlockingSocket;

namespace {

TEST(TlsPlugin, OpenSslIsTheDefaultOnceLoaded) {
    ASSERT_TRUE(kTlsInstalled);
    TTcpBlockingSocket socket;
    EXPECT_EQ(socket.TlsLayer().LibraryName(), "tls_openssl");
    EXPECT_EQ(socket.TlsLayer().LibraryVersion().rfind("OpenSSL 3", 0), 0u);
    EXPECT_EQ(socket.TlsLayer().Ciphers, "DEFAULT");
    EXPECT_EQ(socket.TlsLayer().VerifyResult(), 1); // no connection yet
    EXPECT_EQ(socket.TlsLayer().PendingBytes(), 0);
}

TEST(TlsPlugin, HandshakePeerQueriesAndTheCloseAlert) {
    TlsPeer peer([](AdoptedSocket& s) {
        s.SendText("hello over tls\r\n");
        s.TlsLayer().CloseNotify(); // our close alert, then the connection goes
    });
    TTcpBlockingSocket client;
    client.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    ASSERT_EQ(client.LastErrorCode(), 0);
    client.StartTlsClient();
    ASSERT_EQ(client.LastErrorCode(), 0) << client.LastErrorText();
    auto& tls = client.TlsLayer();
    EXPECT_TRUE(tls.TlsActive());
    EXPECT_EQ(tls.PeerCommonName(), "relayhost");
    EXPECT_EQ(tls.PeerSubjectText(), "/C=CZ/CN=relayhost");
    EXPECT_EQ(tls.PeerIssuerText(), tls.PeerSubjectText()); // self-signed
    EXPECT_EQ(tls.PeerCertDigest().size(), 16u);
    EXPECT_FALSE(tls.CipherSuiteName().empty());
    EXPECT_GE(tls.CipherSecretBits(), 128);
    EXPECT_EQ(tls.ProtocolVersion().rfind("TLSv1.", 0), 0u);
    EXPECT_NE(tls.PeerCertDump().find("Subject: C=CZ, CN=relayhost\r\n"), std::string::npos)
        << tls.PeerCertDump();
    EXPECT_NE(tls.VerifyResult(), 0); // a self-signed certificate does not verify
    EXPECT_EQ(client.ReceiveLine(5000), "hello over tls");
    // The peer's close alert: ReadData gives 0 with no error.
    char buffer[16];
    EXPECT_EQ(tls.ReadData(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(tls.TlsError(), 0);
    peer.Join();
    EXPECT_TRUE(peer.HandshakeOk());
}

TEST(TlsPlugin, SelfSignedCertificateIsDerAndSubjectEqualsIssuer) {
    TTcpBlockingSocket socket;
    ASSERT_TRUE(socket.TlsLayer().MakeSelfSignedCertificate("relay.example"));
    const std::string& cert = socket.TlsLayer().Certificate;
    const std::string& key = socket.TlsLayer().PrivateKey;
    ASSERT_GT(cert.size(), 500u);
    ASSERT_GT(key.size(), 1000u);                          // RSA 2048
    EXPECT_EQ(static_cast<unsigned char>(cert[0]), 0x30u); // a DER sequence
    EXPECT_EQ(static_cast<unsigned char>(key[0]), 0x30u);
}

TEST(TlsPlugin, RefusalsWithoutTouchingTheNetwork) {
    TTcpBlockingSocket unconnected;
    EXPECT_FALSE(unconnected.TlsLayer().StartClient());
    EXPECT_EQ(unconnected.TlsLayer().TlsError(), 0);
    TlsPeer peer([](AdoptedSocket&) {});
    TTcpBlockingSocket client;
    client.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    client.TlsLayer().TlsType = blocksock::TTlsType::tlsSSHv2; // no such protocol here
    client.StartTlsClient();
    EXPECT_EQ(client.LastErrorCode(), 10091);
    EXPECT_EQ(client.TlsLayer().TlsError(), 0);
    EXPECT_EQ(client.LastErrorText(), "Network subsystem is unusable");
    client.CloseConnection();
}

TEST(TlsPlugin, ServerSideMakesItsOwnCertificateWhenNoneIsConfigured) {
    TlsPeer peer([](AdoptedSocket& s) { s.SendText("ok\r\n"); }, "");
    TTcpBlockingSocket client;
    client.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    client.StartTlsClient();
    ASSERT_EQ(client.LastErrorCode(), 0) << client.LastErrorText();
    EXPECT_FALSE(client.TlsLayer().PeerCommonName().empty()); // the peer's resolved name
    EXPECT_EQ(client.ReceiveLine(5000), "ok");
}

} // namespace
