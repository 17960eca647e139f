#include "tls/tls_openssl_lib.h"

#include "tls/client_sessions.h"

#include <atomic>
#include <csignal>
#include <dlfcn.h>
#include <link.h>
#include <mutex>

namespace tlslib {

namespace {

struct Binding {
    std::mutex lock;
    std::atomic<bool> loaded{false};
    void* ssl = nullptr;
    void* crypto = nullptr;
    std::string sslPath;
    std::string cryptoPath;
    Entries entries;
};

Binding& State() {
    static Binding binding;
    return binding;
}

std::string PathOf(void* handle) {
    link_map* map = nullptr;
    if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
        return std::string();
    return map->l_name;
}

template <typename Fn> void Bind(void* library, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(library, name));
}

} // namespace

LibraryNames& Names() {
    static LibraryNames names;
    return names;
}

const Entries& Bound() {
    return State().entries;
}

bool TlsLibrariesLoaded() {
    return State().loaded.load(std::memory_order_acquire);
}

bool LoadTlsLibraries() {
    Binding& b = State();
    if (b.loaded.load(std::memory_order_acquire)) return true; // the usual case costs no lock
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.loaded.load(std::memory_order_relaxed)) return true;
    b.ssl = dlopen(Names().ssl.c_str(), RTLD_NOW | RTLD_LOCAL);
    b.crypto = dlopen(Names().crypto.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!b.ssl) b.ssl = dlopen(Names().sslSecond.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!b.ssl || !b.crypto) {
        if (b.ssl) dlclose(b.ssl);
        if (b.crypto) dlclose(b.crypto);
        b.ssl = b.crypto = nullptr;
        return false;
    }
#define VANTRO_BIND_SSL(name, fallback) Bind(b.ssl, #name, b.entries.name);
#define VANTRO_BIND_CRYPTO(name, fallback) Bind(b.crypto, #name, b.entries.name);
    VANTRO_SSL_ENTRIES(VANTRO_BIND_SSL)
    VANTRO_CRYPTO_ENTRIES(VANTRO_BIND_CRYPTO)
#undef VANTRO_BIND_SSL
#undef VANTRO_BIND_CRYPTO
    Bind(b.ssl, "TLSv1_method", b.entries.TLSv1_method);
    Bind(b.ssl, "SSLv3_method", b.entries.SSLv3_method);
    b.sslPath = PathOf(b.ssl);
    b.cryptoPath = PathOf(b.crypto);
    // OpenSSL 3 initialises itself and is thread-safe without a locking callback. Its
    // socket writes do not suppress SIGPIPE, so a peer that vanishes mid-write would end
    // the process; the program handles EPIPE as an error instead.
    std::signal(SIGPIPE, SIG_IGN);
    b.loaded.store(true, std::memory_order_release);
    return true;
}

void UnloadTlsLibraries() {
    // Kept sessions are the libraries' objects: freed while they are still there.
    if (TlsLibrariesLoaded()) tls::ClientSessions::Instance().Clear();
    Binding& b = State();
    std::lock_guard<std::mutex> guard(b.lock);
    b.loaded.store(false, std::memory_order_release);
    b.entries = Entries();
    if (b.ssl) dlclose(b.ssl);
    if (b.crypto) dlclose(b.crypto);
    b.ssl = b.crypto = nullptr;
    b.sslPath.clear();
    b.cryptoPath.clear();
}

std::string SslLibraryPath() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().sslPath;
}

std::string CryptoLibraryPath() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().cryptoPath;
}

} // namespace tlslib
