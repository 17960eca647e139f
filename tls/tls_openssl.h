// The working TLS plug-in, on OpenSSL 3 bound at run time (tls_openssl_lib.h). Client side
// for the SMTP client (implicit TLS and STARTTLS); the server side and the certificate
// routines are there too. Each plug-in has its own context and connection, so several
// threads may run TLS sessions at once.
#pragma once

#include "blocksock/blocksock.h"

#include <functional>
#include <openssl/ssl.h>

namespace tls {

class TTlsOpenSSL : public blocksock::TCustomTls {
  public:
    explicit TTlsOpenSSL(blocksock::TTcpBlockingSocket* owner);
    ~TTlsOpenSSL() override;

    // RSA 2048 with SHA-256 (OpenSSL 3 refuses the classic 1024-bit SHA-1 certificate at
    // its default security level); subject and issuer "C=CZ, CN=<host>"; valid from a day
    // ago for 60 days. DER bytes go to Certificate and PrivateKey.
    bool MakeSelfSignedCertificate(const std::string& host) override;
    std::string LibraryVersion() override;
    std::string LibraryName() override { return "tls_openssl"; }
    bool StartClient() override;
    bool StartServer() override;
    bool CloseNotify() override;
    bool CloseBoth() override;
    int WriteData(const void* buffer, int length) override;
    int ReadData(void* buffer, int capacity) override;
    int PendingBytes() override;
    std::string ProtocolVersion() override;
    std::string PeerSubjectText() override;
    std::string PeerIssuerText() override;
    std::string PeerCommonName() override;
    // 16 raw bytes (MD5 of the peer certificate).
    std::string PeerCertDigest() override;
    std::string PeerCertDump() override;
    std::string CipherSuiteName() override;
    int CipherSecretBits() override;
    int CipherAlgorithmBits() override;
    int VerifyResult() override;
    bool SessionReused() override;

    // Lets the pass-phrase callback reach the plug-in.
    const std::string& KeyPasswordForCallback() const { return KeyPassword; }

  private:
    bool CollectError();
    bool InitConnection(bool server);
    bool FreeConnection();
    bool PrepareConnection(bool server);
    bool LoadKeys(bool server);
    // Ciphers, or the suites the minimum version calls for when it is empty.
    std::string CipherList() const;
    bool LoadPkcs12(const std::string& data);
    bool Handshake(bool server);
    // SNI, and with VerifyCert the name (or address) the certificate must be issued for.
    void NameTheServer(const std::string& host);
    // Leaves the reason of a failed handshake: the verification error when that was it.
    void ReportHandshakeFailure(bool server, int kind);
    X509* PeerCertificate();
    std::string PeerNameText(bool issuer);
    // One SSL_read or SSL_write, retried while OpenSSL wants to read or write and the socket
    // becomes ready within TimeoutMs.
    int Transfer(const std::function<int()>& call);

    SSL* connection_ = nullptr;
    SSL_CTX* context_ = nullptr;
};

// Loads the OpenSSL libraries and, when that works, makes TTlsOpenSSL the plug-in of every
// socket created afterwards. Called once at start, before any socket exists. Returns whether
// TLS is available.
bool InitTlsModule();

} // namespace tls
