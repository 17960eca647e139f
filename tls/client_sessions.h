// Client TLS sessions kept between connections, so that a new connection to a server the
// relay spoke to a moment ago resumes its session (TLS tickets, RFC 8446 2.2 and RFC 5077):
// no certificate exchange and verification again, and under TLS 1.2 one round trip fewer.
// In memory only, for the process; bounded. Any thread.
#pragma once

#include <openssl/ssl.h>

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tls {

class ClientSessions {
  public:
    // The process's sessions.
    static ClientSessions& Instance();
    // Sessions kept at most, over all keys; the oldest goes first.
    static constexpr size_t kMaxSessions = 64;

    ~ClientSessions();
    // Offers a copy of the session kept under `key` to the handshake of `ssl` (before
    // SSL_connect); false when there is none. Kept sessions are only touched under the lock.
    bool OfferTo(SSL* ssl, const std::string& key);
    // Keeps `session` under `key` (its reference is ours now, and no connection uses it), in
    // place of one kept before.
    void Keep(const std::string& key, SSL_SESSION* session);
    // Drops every kept session (before the TLS libraries are unloaded).
    void Clear();
    size_t Size() const;

  private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, SSL_SESSION*> sessions_;
    std::deque<std::string> order_; // keys, the oldest first
};

} // namespace tls
