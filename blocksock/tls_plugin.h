// The TLS plug-in every TCP blocking socket owns. TCustomTls refuses every operation
// (TlsError -1, "SSL/TLS support is not compiled!"); TTlsNone is that refusal under a name
// and the process default until a working plug-in is installed at start. A plug-in never
// throws: it reports through its results and TlsError/TlsErrorText.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace blocksock {

class TTcpBlockingSocket;

enum class TTlsType : uint8_t { tlsAll, tlsSSLv2, tlsSSLv3, tlsTLSv1, tlsTLSv1_1, tlsSSHv2 };

class TCustomTls {
  public:
    explicit TCustomTls(TTcpBlockingSocket* owner) : owner_(owner) {}
    virtual ~TCustomTls() = default;
    TCustomTls(const TCustomTls&) = delete;
    TCustomTls& operator=(const TCustomTls&) = delete;

    // Fills Certificate and PrivateKey with a new self-signed pair for `host`.
    virtual bool MakeSelfSignedCertificate(const std::string& host);
    // Copies the settings (not the SSH fields, the owner, the state or the errors).
    virtual void CopySettingsFrom(const TCustomTls& other);
    virtual std::string LibraryVersion() { return std::string(); }
    virtual std::string LibraryName() { return std::string(); }
    virtual bool StartClient();
    virtual bool StartServer();
    virtual bool CloseNotify();
    virtual bool CloseBoth();
    // Bytes written, or -1; TlsError non-zero on failure.
    virtual int WriteData(const void* buffer, int length);
    // Bytes read, 0 at the peer's orderly close, or -1.
    virtual int ReadData(void* buffer, int capacity);
    // Decrypted bytes ready to be read.
    virtual int PendingBytes();
    virtual std::string ProtocolVersion() { return std::string(); }
    virtual std::string PeerSubjectText() { return std::string(); }
    virtual std::string PeerIssuerText() { return std::string(); }
    virtual std::string PeerCommonName() { return std::string(); }
    virtual std::string PeerCertDigest() { return std::string(); }
    virtual std::string PeerCertDump() { return std::string(); }
    virtual std::string CipherSuiteName() { return std::string(); }
    virtual int CipherSecretBits() { return 0; }
    virtual int CipherAlgorithmBits() { return 0; }
    virtual int VerifyResult() { return 1; }
    // The last client handshake resumed an earlier session (no certificate exchange, and one
    // round trip fewer before TLS 1.3).
    virtual bool SessionReused() { return false; }

    TTcpBlockingSocket* Owner() const { return owner_; }
    bool TlsActive() const { return tlsActive_; }
    int TlsError() const { return tlsError_; }
    const std::string& TlsErrorText() const { return tlsErrorText_; }
    // The last failure was TimeoutMs running out, not an error of the peer or the library.
    bool TimedOut() const { return timedOut_; }

    TTlsType TlsType = TTlsType::tlsAll;
    std::string KeyPassword;
    std::string Username;
    std::string Password;
    std::string Ciphers;
    std::string CertificateFile;
    std::string PrivateKeyFile;
    std::string Certificate;
    std::string PrivateKey;
    std::string PFX;
    std::string PFXfile;
    std::string TrustCertificateFile;
    std::string TrustCertificate;
    std::string CertCA;
    std::string CertCAFile;
    bool VerifyCert = false;
    // The lowest protocol version a handshake agrees to, as the protocol numbers it: 0x0303
    // TLS 1.2 (with forward-secret cipher suites only, unless Ciphers says otherwise), or
    // 0x0301 TLS 1.0 for a legacy server the user must reach (weaker: old ciphers allowed).
    int MinimumVersion = 0x0303;
    // Set on a client: its handshake offers the session last agreed under this key (the
    // caller names the server and the settings it was agreed with), and a session the server
    // grants is kept under it for the next connection, in memory, for the process. Empty:
    // every handshake is a full one.
    std::string SessionCacheKey;
    // The longest a handshake, or one read or write, waits on the socket. A peer that goes
    // silent in the middle of a record must not hold the caller past its own time-out.
    int TimeoutMs = 30000;
    std::string SSHChannelType;
    std::string SSHChannelArg1;
    std::string SSHChannelArg2;

  protected:
    void Refuse();
    void ClearError() {
        tlsError_ = 0;
        tlsErrorText_.clear();
        timedOut_ = false;
    }
    void SetTimedOut(int code, std::string text) {
        SetError(code, std::move(text));
        timedOut_ = true;
    }
    void SetError(int code, std::string text) {
        tlsError_ = code;
        tlsErrorText_ = std::move(text);
    }
    void SetActive(bool active) { tlsActive_ = active; }

  private:
    TTcpBlockingSocket* owner_;
    bool tlsActive_ = false;
    bool timedOut_ = false;
    int tlsError_ = 0;
    std::string tlsErrorText_;
};

class TTlsNone : public TCustomTls {
  public:
    using TCustomTls::TCustomTls;
    std::string LibraryVersion() override { return "Without SSL support"; }
    std::string LibraryName() override { return "tls_none"; }
};

// A plug-in class: makes a plug-in for a socket.
using TTlsPluginClass = std::function<std::unique_ptr<TCustomTls>(TTcpBlockingSocket* owner)>;

// The class every new TTcpBlockingSocket instantiates; TTlsNone until set at start.
TTlsPluginClass DefaultTlsPluginClass();
// Called once during start-up, before any socket exists.
void SetDefaultTlsPluginClass(TTlsPluginClass pluginClass);

} // namespace blocksock
