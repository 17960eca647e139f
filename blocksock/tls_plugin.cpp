#include "blocksock/tls_plugin.h"

#include <mutex>

namespace blocksock {

namespace {
const char* const kNotCompiled = "SSL/TLS support is not compiled!";

struct DefaultClass {
    std::mutex mutex;
    TTlsPluginClass pluginClass = [](TTcpBlockingSocket* owner) {
        return std::make_unique<TTlsNone>(owner);
    };
};

DefaultClass& Default() {
    static DefaultClass value;
    return value;
}
} // namespace

void TCustomTls::Refuse() {
    SetError(-1, kNotCompiled);
}

bool TCustomTls::MakeSelfSignedCertificate(const std::string&) {
    return false;
}

void TCustomTls::CopySettingsFrom(const TCustomTls& other) {
    Username = other.Username;
    Password = other.Password;
    VerifyCert = other.VerifyCert;
    TimeoutMs = other.TimeoutMs;
    TlsType = other.TlsType;
    KeyPassword = other.KeyPassword;
    Ciphers = other.Ciphers;
    CertificateFile = other.CertificateFile;
    PrivateKeyFile = other.PrivateKeyFile;
    CertCAFile = other.CertCAFile;
    CertCA = other.CertCA;
    TrustCertificate = other.TrustCertificate;
    TrustCertificateFile = other.TrustCertificateFile;
    Certificate = other.Certificate;
    PrivateKey = other.PrivateKey;
    PFX = other.PFX;
    PFXfile = other.PFXfile;
    SessionCacheKey = other.SessionCacheKey;
}

bool TCustomTls::StartClient() {
    Refuse();
    return false;
}
bool TCustomTls::StartServer() {
    Refuse();
    return false;
}
bool TCustomTls::CloseNotify() {
    Refuse();
    return false;
}
bool TCustomTls::CloseBoth() {
    Refuse();
    return false;
}
int TCustomTls::WriteData(const void*, int) {
    Refuse();
    return -1;
}
int TCustomTls::ReadData(void*, int) {
    Refuse();
    return -1;
}
int TCustomTls::PendingBytes() {
    Refuse();
    return 0;
}

TTlsPluginClass DefaultTlsPluginClass() {
    std::lock_guard<std::mutex> lock(Default().mutex);
    return Default().pluginClass;
}

void SetDefaultTlsPluginClass(TTlsPluginClass pluginClass) {
    std::lock_guard<std::mutex> lock(Default().mutex);
    Default().pluginClass = std::move(pluginClass);
}

} // namespace blocksock
