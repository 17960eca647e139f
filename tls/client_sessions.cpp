#include "tls/client_sessions.h"

#include "tls/tls_openssl_lib.h"

#include <algorithm>

namespace tls {

ClientSessions& ClientSessions::Instance() {
    static ClientSessions sessions;
    return sessions;
}

ClientSessions::~ClientSessions() {
    // At the process's end, while the libraries are still there to free what they made.
    if (tlslib::TlsLibrariesLoaded()) Clear();
}

bool ClientSessions::OfferTo(SSL* ssl, const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) return false;
    // A copy of its own for each connection: a kept session is only ever touched under the
    // lock, never by a handshake on another thread (OpenSSL's reference counts are atomics
    // a thread sanitizer cannot see into, and a TLS 1.3 ticket arriving on a resumed
    // connection reads the session it resumed).
    SSL_SESSION* copy = TLS_CALL(SSL_SESSION_dup, found->second);
    if (!copy) return false;
    bool offered = TLS_CALL(SSL_set_session, ssl, copy) == 1; // the connection's reference
    TLS_CALL(SSL_SESSION_free, copy);
    return offered;
}

void ClientSessions::Keep(const std::string& key, SSL_SESSION* session) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [at, added] = sessions_.try_emplace(key, session);
    if (!added) {
        TLS_CALL(SSL_SESSION_free, at->second);
        at->second = session;
        order_.erase(std::find(order_.begin(), order_.end(), key));
    }
    order_.push_back(key);
    if (sessions_.size() > kMaxSessions) {
        auto oldest = sessions_.find(order_.front());
        TLS_CALL(SSL_SESSION_free, oldest->second);
        sessions_.erase(oldest);
        order_.pop_front();
    }
}

void ClientSessions::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [key, session] : sessions_) TLS_CALL(SSL_SESSION_free, session);
    sessions_.clear();
    order_.clear();
}

size_t ClientSessions::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

} // namespace tls
