// Loading OpenSSL by name: the second-choice SSL library, and a missing crypto library that
// leaves nothing loaded and TTlsNone in place.
#include "tests/support/scripted_peer.h"
#include "tests/tls/tls_peer.h"
#include "tls/tls_openssl_lib.h"

#include <gtest/gtest.h>

namespace {

struct RestoreLibraries {
    ~RestoreLibraries() {
        tlslib::UnloadTlsLibraries();
        tlslib::Names() = tlslib::LibraryNames();
        tls::InitTlsModule();
    }
};

TEST(TlsLibrary, OnlyTheSecondChoiceSslLibraryIsUsedWhenTheFirstIsMissing) {
    RestoreLibraries restore;
    tlslib::UnloadTlsLibraries();
    tlslib::Names().ssl = "libvantro-missing-ssl.so";
    tlslib::Names().sslSecond = "libssl.so.3";
    ASSERT_TRUE(tlslib::LoadTlsLibraries());
    EXPECT_NE(tlslib::SslLibraryPath().find("libssl.so.3"), std::string::npos);
    EXPECT_NE(tlslib::CryptoLibraryPath().find("libcrypto.so.3"), std::string::npos);
    EXPECT_NE(tlslib::Bound().SSL_connect, nullptr);
}

TEST(TlsLibrary, MissingCryptoLibraryLeavesNothingLoadedAndForwardersFallBack) {
    RestoreLibraries restore;
    tlslib::UnloadTlsLibraries();
    tlslib::Names().crypto = "libvantro-missing-crypto.so";
    blocksock::SetDefaultTlsPluginClass([](blocksock::TTcpBlockingSocket* owner) {
        return std::make_unique<blocksock::TTlsNone>(owner);
    });
    EXPECT_FALSE(tls::InitTlsModule());
    EXPECT_FALSE(tlslib::TlsLibrariesLoaded());
    EXPECT_EQ(tlslib::SslLibraryPath(), "");
    blocksock::TTcpBlockingSocket socket;
    EXPECT_EQ(socket.TlsLayer().LibraryName(), "tls_none");
    EXPECT_EQ(TLS_CALL(SSL_get_error, nullptr, 0), 1);
    EXPECT_EQ(TLS_CALL(SSL_connect, nullptr), -1);
    EXPECT_EQ(TLS_CALL(SSL_get_verify_result, nullptr), 50);
    EXPECT_EQ(TLS_CALL(BIO_read, nullptr, nullptr, 0), -2);
    EXPECT_EQ(TLS_CALL(SSL_CTX_new, nullptr), nullptr);
    EXPECT_STREQ(TLS_CALL(OpenSSL_version, 0), "");
    TLS_CALL(SSL_free, nullptr); // a procedure does nothing
}

TEST(TlsLibrary, AnOpenSslPluginWithoutLibrariesFailsInsteadOfCrashing) {
    RestoreLibraries restore;
    testsupport::ScriptedPeer peer(
        {testsupport::Hold(2000)}); // no TLS on the other side: nothing races the unload
    blocksock::TTcpBlockingSocket client([](blocksock::TTcpBlockingSocket* owner) {
        return std::make_unique<tls::TTlsOpenSSL>(owner);
    });
    client.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    tlslib::UnloadTlsLibraries();
    tlslib::Names().ssl = tlslib::Names().sslSecond = "libvantro-missing-ssl.so";
    client.StartTlsClient();
    EXPECT_EQ(client.LastErrorCode(), 10091);
    client.CloseConnection();
}

} // namespace
