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
    // SSL_set_session takes a reference of its own: the kept one stays ours.
    return found != sessions_.end() && TLS_CALL(SSL_set_session, ssl, found->second) == 1;
}

void ClientSessions::Keep(const std::string& key, SSL_SESSION* session) {
    SSL_SESSION* replaced = nullptr;
    SSL_SESSION* dropped = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [at, added] = sessions_.try_emplace(key, session);
        if (!added) {
            replaced = at->second;
            at->second = session;
            order_.erase(std::find(order_.begin(), order_.end(), key));
        }
        order_.push_back(key);
        if (sessions_.size() > kMaxSessions) {
            auto oldest = sessions_.find(order_.front());
            dropped = oldest->second;
            sessions_.erase(oldest);
            order_.pop_front();
        }
    }
    if (replaced) TLS_CALL(SSL_SESSION_free, replaced);
    if (dropped) TLS_CALL(SSL_SESSION_free, dropped);
}

void ClientSessions::Clear() {
    std::unordered_map<std::string, SSL_SESSION*> sessions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions.swap(sessions_);
        order_.clear();
    }
    for (auto& [key, session] : sessions) TLS_CALL(SSL_SESSION_free, session);
}

size_t ClientSessions::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

} // namespace tls
