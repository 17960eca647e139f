#include "tls/tls_openssl.h"

#include "blocksock/ipaddr.h"
#include "blocksock/sockapi.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "tls/client_sessions.h"
#include "tls/tls_openssl_lib.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/socket.h>

namespace tls {

namespace {

// OpenSSL's word that a server granted a session (after a TLS 1.2 handshake, or a TLS 1.3
// ticket that came with later data): a copy is kept for the plug-in's key, so that no object
// the connection still uses is ever shared with another thread. 0: the connection keeps its
// own reference to `session`.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* plugin = static_cast<TTlsOpenSSL*>(TLS_CALL(SSL_get_ex_data, ssl, 0));
    if (!plugin || plugin->SessionCacheKey.empty() ||
        TLS_CALL(SSL_SESSION_is_resumable, session) != 1)
        return 0;
    if (SSL_SESSION* copy = TLS_CALL(SSL_SESSION_dup, session))
        ClientSessions::Instance().Keep(plugin->SessionCacheKey, copy);
    return 0;
}

using Clock = std::chrono::steady_clock;

// A TimeoutMs below zero waits without limit.
Clock::time_point DeadlineAfter(int timeoutMs) {
    return timeoutMs < 0 ? Clock::time_point::max()
                         : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// The socket stays non-blocking once TLS runs on it: OpenSSL then returns "want read/write"
// at once, and every wait is a poll bounded by the caller's deadline instead of a blocking
// read that a silent peer could hold for ever.
void MakeNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags != -1 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Waits until `fd` can do what OpenSSL asked for (`wantKind`), at most until `deadline`.
bool WaitForSocket(int fd, int wantKind, Clock::time_point deadline) {
    pollfd p{fd, static_cast<short>(wantKind == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        int waitMs = -1;
        if (deadline != Clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            waitMs = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        int rc = ::poll(&p, 1, waitMs);
        if (rc > 0) return true;
        if (rc == 0 || errno != EINTR) return false;
    }
}

int PasswordCallback(char* buffer, int size, int, void* userData) {
    std::string password =
        userData ? static_cast<TTlsOpenSSL*>(userData)->KeyPasswordForCallback() : std::string();
    if (size <= 0) return 0;
    size_t n = std::min(password.size(), static_cast<size_t>(size - 1));
    password.copy(buffer, n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

// Everything pending in a memory BIO, as bytes.
std::string DrainBio(BIO* bio) {
    size_t pending = TLS_CALL(BIO_ctrl_pending, bio);
    std::string out(pending, '\0');
    int n = pending ? TLS_CALL(BIO_read, bio, out.data(), static_cast<int>(pending)) : 0;
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

struct BioHolder {
    BIO* bio;
    ~BioHolder() {
        if (bio) TLS_CALL(BIO_free_all, bio);
    }
};

} // namespace

TTlsOpenSSL::TTlsOpenSSL(blocksock::TTcpBlockingSocket* owner) : TCustomTls(owner) {
    Ciphers = "DEFAULT";
}

TTlsOpenSSL::~TTlsOpenSSL() {
    FreeConnection();
}

bool TTlsOpenSSL::CollectError() {
    unsigned long code = TLS_CALL(ERR_get_error);
    TLS_CALL(ERR_clear_error);
    if (code == 0) {
        SetError(0, std::string());
        return true;
    }
    char text[256] = {};
    TLS_CALL(ERR_error_string_n, code, text, sizeof(text));
    SetError(static_cast<int>(code), text);
    return false;
}

bool TTlsOpenSSL::FreeConnection() {
    if (connection_) TLS_CALL(SSL_free, connection_);
    connection_ = nullptr;
    if (context_) TLS_CALL(SSL_CTX_free, context_);
    context_ = nullptr;
    SetActive(false);
    return true;
}

bool TTlsOpenSSL::PrepareConnection(bool server) {
    FreeConnection();
    if (InitConnection(server)) return true;
    FreeConnection();
    return false;
}

bool TTlsOpenSSL::InitConnection(bool server) {
    ClearError();
    context_ = nullptr;
    const SSL_METHOD* method = nullptr;
    switch (TlsType) {
    case blocksock::TTlsType::tlsAll:
        method = TLS_CALL(TLS_method);
        break;
    case blocksock::TTlsType::tlsSSLv3:
        method = TLS_CALL(SSLv3_method);
        break;
    case blocksock::TTlsType::tlsTLSv1:
        method = TLS_CALL(TLSv1_method);
        break;
    default:
        return false; // no such protocol in this library
    }
    if (!method) return false;
    context_ = TLS_CALL(SSL_CTX_new, method);
    if (!context_) {
        CollectError();
        return false;
    }
    TLS_CALL(SSL_CTX_ctrl, context_, SSL_CTRL_SET_MIN_PROTO_VERSION, MinimumVersion, nullptr);
    TLS_CALL(SSL_CTX_set_cipher_list, context_, CipherList().c_str());
    TLS_CALL(SSL_CTX_set_verify, context_, VerifyCert ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    TLS_CALL(SSL_CTX_set_default_passwd_cb, context_, &PasswordCallback);
    TLS_CALL(SSL_CTX_set_default_passwd_cb_userdata, context_, this);
    if (server && CertificateFile.empty() && Certificate.empty() && PFXfile.empty() &&
        PFX.empty()) {
        std::string peer = Owner() ? Owner()->RemoteAddressText() : std::string();
        MakeSelfSignedCertificate(
            blocksock::ResolveAddressName(peer, AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM));
    }
    if (!LoadKeys(server)) return false;
    bool resumes = !server && !SessionCacheKey.empty();
    if (resumes) {
        TLS_CALL(SSL_CTX_ctrl, context_, SSL_CTRL_SET_SESS_CACHE_MODE,
                 SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE, nullptr);
        TLS_CALL(SSL_CTX_sess_set_new_cb, context_, &KeepNewSession);
    }
    connection_ = TLS_CALL(SSL_new, context_);
    if (!connection_) {
        CollectError();
        return false;
    }
    if (resumes) {
        TLS_CALL(SSL_set_ex_data, connection_, 0, this);
        ClientSessions::Instance().OfferTo(connection_, SessionCacheKey);
    }
    return true;
}

std::string TTlsOpenSSL::CipherList() const {
    if (!Ciphers.empty()) return Ciphers;
    // TLS 1.3's suites are all forward secret; below it only ephemeral key exchange with an
    // AEAD cipher. A legacy minimum also takes what old servers have (RSA key exchange, CBC),
    // which OpenSSL's default security level would refuse.
    if (MinimumVersion >= 0x0303)
        return "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL";
    return "DEFAULT:@SECLEVEL=0";
}

bool TTlsOpenSSL::LoadKeys(bool server) {
    if (!context_) return false;
    auto fail = [this] {
        CollectError();
        return false;
    };
    if (!CertificateFile.empty()) {
        const char* file = CertificateFile.c_str();
        if (TLS_CALL(SSL_CTX_use_certificate_chain_file, context_, file) != 1 &&
            TLS_CALL(SSL_CTX_use_certificate_file, context_, file, SSL_FILETYPE_PEM) != 1 &&
            TLS_CALL(SSL_CTX_use_certificate_file, context_, file, SSL_FILETYPE_ASN1) != 1)
            return fail();
    }
    if (!Certificate.empty() &&
        TLS_CALL(SSL_CTX_use_certificate_ASN1, context_, static_cast<int>(Certificate.size()),
                 reinterpret_cast<const unsigned char*>(Certificate.data())) != 1)
        return fail();
    CollectError(); // what the retried attempts left behind
    if (!PrivateKeyFile.empty()) {
        const char* file = PrivateKeyFile.c_str();
        if (TLS_CALL(SSL_CTX_use_PrivateKey_file, context_, file, SSL_FILETYPE_PEM) != 1 &&
            TLS_CALL(SSL_CTX_use_PrivateKey_file, context_, file, SSL_FILETYPE_ASN1) != 1)
            return fail();
    }
    if (!PrivateKey.empty() && TLS_CALL(SSL_CTX_use_PrivateKey_ASN1, EVP_PKEY_RSA, context_,
                                        reinterpret_cast<const unsigned char*>(PrivateKey.data()),
                                        static_cast<long>(PrivateKey.size())) != 1)
        return fail();
    CollectError();
    if (!CertCAFile.empty() &&
        TLS_CALL(SSL_CTX_load_verify_locations, context_, CertCAFile.c_str(), nullptr) != 1)
        return fail();
    // A client that verifies and was given no authority of its own trusts the system's.
    if (!server && VerifyCert && CertCAFile.empty() &&
        TLS_CALL(SSL_CTX_set_default_verify_paths, context_) != 1)
        return fail();
    if (!PFXfile.empty()) {
        auto bytes = platform::ReadFileBytes(PFXfile);
        if (!bytes || !LoadPkcs12(*bytes)) return fail();
    }
    if (!PFX.empty() && !LoadPkcs12(PFX)) return fail();
    CollectError();
    return true;
}

bool TTlsOpenSSL::LoadPkcs12(const std::string& data) {
    BioHolder bio{TLS_CALL(BIO_new, TLS_CALL(BIO_s_mem))};
    if (!bio.bio) return false;
    TLS_CALL(BIO_write, bio.bio, data.data(), static_cast<int>(data.size()));
    PKCS12* bundle = TLS_CALL(d2i_PKCS12_bio, bio.bio, nullptr);
    if (!bundle) return false;
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* ca = nullptr;
    bool ok = false;
    if (TLS_CALL(PKCS12_parse, bundle, KeyPassword.c_str(), &key, &cert, &ca) > 0)
        ok = TLS_CALL(SSL_CTX_use_certificate, context_, cert) > 0 &&
             TLS_CALL(SSL_CTX_use_PrivateKey, context_, key) > 0;
    if (cert) TLS_CALL(X509_free, cert);
    if (key) TLS_CALL(EVP_PKEY_free, key);
    if (ca)
        TLS_CALL(OPENSSL_sk_pop_free, reinterpret_cast<OPENSSL_STACK*>(ca),
                 reinterpret_cast<void (*)(void*)>(tlslib::Bound().X509_free));
    TLS_CALL(PKCS12_free, bundle);
    return ok;
}

bool TTlsOpenSSL::Handshake(bool server) {
    if (!Owner() || Owner()->Handle() == -1) return false;
    if (!PrepareConnection(server)) return false;
    int fd = Owner()->Handle();
    MakeNonBlocking(fd);
    if (TLS_CALL(SSL_set_fd, connection_, fd) < 1) {
        CollectError();
        return false;
    }
    if (!server) NameTheServer(Owner()->ConnectHost());
    auto deadline = DeadlineAfter(TimeoutMs);
    for (;;) {
        int rc = server ? TLS_CALL(SSL_accept, connection_) : TLS_CALL(SSL_connect, connection_);
        if (rc == 1) break;
        int kind = TLS_CALL(SSL_get_error, connection_, rc);
        if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
            if (WaitForSocket(fd, kind, deadline)) continue;
            SetTimedOut(kind, "TLS handshake timed out");
            return false;
        }
        ReportHandshakeFailure(server, kind);
        return false;
    }
    if (!server && VerifyCert && VerifyResult() != 0) {
        ReportHandshakeFailure(server, SSL_ERROR_SSL);
        return false;
    }
    SetActive(true);
    return true;
}

void TTlsOpenSSL::NameTheServer(const std::string& host) {
    bool literal = blocksock::IsIPv4Literal(host) || blocksock::IsIPv6Literal(host);
    // Many providers choose their certificate by the name asked for.
    if (!host.empty() && !literal)
        TLS_CALL(SSL_ctrl, connection_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(host.c_str()));
    if (!VerifyCert || host.empty()) return;
    // A certificate of a trusted authority issued for another host proves nothing about this
    // one: the name the user typed must be in it.
    if (literal)
        TLS_CALL(X509_VERIFY_PARAM_set1_ip_asc, TLS_CALL(SSL_get0_param, connection_),
                 host.c_str());
    else
        TLS_CALL(SSL_set1_host, connection_, host.c_str());
}

void TTlsOpenSSL::ReportHandshakeFailure(bool server, int kind) {
    long verify = server ? 0 : TLS_CALL(SSL_get_verify_result, connection_);
    bool queued = !CollectError();
    if (VerifyCert && verify != 0) {
        SetError(kind, std::string("certificate verify failed: ") +
                           TLS_CALL(X509_verify_cert_error_string, verify));
        return;
    }
    if (queued) return; // OpenSSL's own text says it best
    // Nothing queued (the peer closed, or a system call failed): still say so.
    SetError(kind, "TLS handshake failed (SSL error " + std::to_string(kind) + ")");
}

bool TTlsOpenSSL::StartClient() {
    return Handshake(false);
}
bool TTlsOpenSSL::StartServer() {
    return Handshake(true);
}

bool TTlsOpenSSL::CloseNotify() {
    if (connection_) TLS_CALL(SSL_shutdown, connection_);
    return FreeConnection();
}

bool TTlsOpenSSL::CloseBoth() {
    if (connection_ && TLS_CALL(SSL_shutdown, connection_) == 0) {
        if (Owner() && Owner()->Handle() != -1) ::shutdown(Owner()->Handle(), SHUT_WR);
        TLS_CALL(SSL_shutdown, connection_);
    }
    return FreeConnection();
}

int TTlsOpenSSL::Transfer(const std::function<int()>& call) {
    ClearError();
    int fd = Owner() ? Owner()->Handle() : -1;
    auto deadline = DeadlineAfter(TimeoutMs);
    for (;;) {
        int rc = call();
        int kind = TLS_CALL(SSL_get_error, connection_, rc);
        if (kind == SSL_ERROR_NONE) return rc;
        if (kind == SSL_ERROR_ZERO_RETURN) return 0; // the peer's close alert
        if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
            if (fd != -1 && WaitForSocket(fd, kind, deadline)) continue;
            SetTimedOut(kind, "TLS connection timed out");
            return -1;
        }
        if (CollectError())
            SetError(kind, "TLS connection failed (SSL error " + std::to_string(kind) + ")");
        return rc;
    }
}

int TTlsOpenSSL::WriteData(const void* buffer, int length) {
    return Transfer([&] { return TLS_CALL(SSL_write, connection_, buffer, length); });
}

int TTlsOpenSSL::ReadData(void* buffer, int capacity) {
    return Transfer([&] { return TLS_CALL(SSL_read, connection_, buffer, capacity); });
}

bool TTlsOpenSSL::SessionReused() {
    return connection_ && TLS_CALL(SSL_session_reused, connection_) == 1;
}

int TTlsOpenSSL::PendingBytes() {
    return connection_ ? TLS_CALL(SSL_pending, connection_) : 0;
}

std::string TTlsOpenSSL::ProtocolVersion() {
    return connection_ ? std::string(TLS_CALL(SSL_get_version, connection_)) : std::string();
}

X509* TTlsOpenSSL::PeerCertificate() {
    return connection_ ? TLS_CALL(SSL_get1_peer_certificate, connection_) : nullptr;
}

std::string TTlsOpenSSL::PeerNameText(bool issuer) {
    X509* cert = PeerCertificate();
    if (!cert) return std::string();
    char text[4096] = {};
    X509_NAME* name =
        issuer ? TLS_CALL(X509_get_issuer_name, cert) : TLS_CALL(X509_get_subject_name, cert);
    TLS_CALL(X509_NAME_oneline, name, text, sizeof(text));
    TLS_CALL(X509_free, cert);
    return text;
}

std::string TTlsOpenSSL::PeerSubjectText() {
    return PeerNameText(false);
}
std::string TTlsOpenSSL::PeerIssuerText() {
    return PeerNameText(true);
}

std::string TTlsOpenSSL::PeerCommonName() {
    std::string subject = PeerSubjectText();
    return platform::TrimBlanks(platform::TextBefore(platform::TextAfter(subject, "/CN="), "/"));
}

std::string TTlsOpenSSL::PeerCertDigest() {
    X509* cert = PeerCertificate();
    if (!cert) return std::string();
    unsigned char digest[36] = {};
    unsigned int length = 0;
    TLS_CALL(X509_digest, cert, TLS_CALL(EVP_get_digestbyname, "MD5"), digest, &length);
    TLS_CALL(X509_free, cert);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string TTlsOpenSSL::PeerCertDump() {
    X509* cert = PeerCertificate();
    if (!cert) return std::string();
    BioHolder bio{TLS_CALL(BIO_new, TLS_CALL(BIO_s_mem))};
    std::string text;
    if (bio.bio) {
        TLS_CALL(X509_print, bio.bio, cert);
        text = platform::ReplaceAll(DrainBio(bio.bio), "\n", "\r\n");
    }
    TLS_CALL(X509_free, cert);
    return text;
}

std::string TTlsOpenSSL::CipherSuiteName() {
    if (!connection_) return std::string();
    const SSL_CIPHER* cipher = TLS_CALL(SSL_get_current_cipher, connection_);
    return cipher ? std::string(TLS_CALL(SSL_CIPHER_get_name, cipher)) : std::string();
}

int TTlsOpenSSL::CipherSecretBits() {
    if (!connection_) return 0;
    return TLS_CALL(SSL_CIPHER_get_bits, TLS_CALL(SSL_get_current_cipher, connection_), nullptr);
}

int TTlsOpenSSL::CipherAlgorithmBits() {
    if (!connection_) return 0;
    int bits = 0;
    TLS_CALL(SSL_CIPHER_get_bits, TLS_CALL(SSL_get_current_cipher, connection_), &bits);
    return bits;
}

int TTlsOpenSSL::VerifyResult() {
    return connection_ ? static_cast<int>(TLS_CALL(SSL_get_verify_result, connection_)) : 1;
}

std::string TTlsOpenSSL::LibraryVersion() {
    return TLS_CALL(OpenSSL_version, 0);
}

bool TTlsOpenSSL::MakeSelfSignedCertificate(const std::string& host) {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* keyContext = TLS_CALL(EVP_PKEY_CTX_new_id, EVP_PKEY_RSA, nullptr);
    if (keyContext && TLS_CALL(EVP_PKEY_keygen_init, keyContext) > 0 &&
        TLS_CALL(EVP_PKEY_CTX_set_rsa_keygen_bits, keyContext, 2048) > 0)
        TLS_CALL(EVP_PKEY_keygen, keyContext, &key);
    if (keyContext) TLS_CALL(EVP_PKEY_CTX_free, keyContext);
    X509* cert = TLS_CALL(X509_new);
    if (key && cert) {
        TLS_CALL(X509_set_version, cert, 2);
        TLS_CALL(ASN1_INTEGER_set, TLS_CALL(X509_get_serialNumber, cert), 0);
        TLS_CALL(X509_gmtime_adj, TLS_CALL(X509_getm_notBefore, cert), -86400L);
        TLS_CALL(X509_gmtime_adj, TLS_CALL(X509_getm_notAfter, cert), 5184000L);
        TLS_CALL(X509_set_pubkey, cert, key);
        X509_NAME* name = TLS_CALL(X509_get_subject_name, cert);
        TLS_CALL(X509_NAME_add_entry_by_txt, name, "C", MBSTRING_ASC,
                 reinterpret_cast<const unsigned char*>("CZ"), -1, -1, 0);
        TLS_CALL(X509_NAME_add_entry_by_txt, name, "CN", MBSTRING_ASC,
                 reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
        TLS_CALL(X509_set_issuer_name, cert, name);
        TLS_CALL(X509_sign, cert, key, TLS_CALL(EVP_get_digestbyname, "SHA256"));
        BioHolder certBio{TLS_CALL(BIO_new, TLS_CALL(BIO_s_mem))};
        if (certBio.bio) {
            TLS_CALL(i2d_X509_bio, certBio.bio, cert);
            Certificate = DrainBio(certBio.bio);
        }
        BioHolder keyBio{TLS_CALL(BIO_new, TLS_CALL(BIO_s_mem))};
        if (keyBio.bio) {
            TLS_CALL(i2d_PrivateKey_bio, keyBio.bio, key);
            PrivateKey = DrainBio(keyBio.bio);
        }
    }
    if (cert) TLS_CALL(X509_free, cert);
    if (key) TLS_CALL(EVP_PKEY_free, key);
    return true;
}

bool InitTlsModule() {
    if (!tlslib::LoadTlsLibraries()) return false;
    blocksock::SetDefaultTlsPluginClass(
        [](blocksock::TTcpBlockingSocket* owner) { return std::make_unique<TTlsOpenSSL>(owner); });
    return true;
}

} // namespace tls
