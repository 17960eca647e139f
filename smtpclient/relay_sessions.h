// Upstream sessions kept open between messages, so that a busy relay does not pay a new
// connection, greeting, EHLO, TLS handshake and AUTH for every message. A session is kept only
// after it carried a message, only for the same settings, only for a short idle time and
// only up to a bound: an upstream's connection limit is a resource of someone else's.
#pragma once

#include "smtpclient/smtpsender.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace smtpclient {

// What a session was opened with: a message may use a kept session only when all of it is
// the same, so that each message's upstream sees the greeting name, TLS and account the
// message would have had on a session of its own.
struct TSessionKey {
    std::string host, port;
    bool autoTls = false, fullSsl = false, credentialsOnlyEncrypted = false;
    std::string systemName;
    bool verifyCert = true;
    int tlsMinimumVersion = 0x0303;
    std::string trustFile;
    std::string userName, password;
    std::string secret; // the kind and id of a fetched secret's source, empty for none

    static TSessionKey Of(const TRelayOptions& options, const std::string& host,
                          const std::string& port, const std::string& userName,
                          const std::string& password);
    bool operator==(const TSessionKey&) const = default;
};

// How long a kept session may stay idle before it is closed; an upstream's own idle limit is
// minutes, so a session kept this long is never one the upstream has already given up on.
inline constexpr std::chrono::milliseconds kKeptSessionIdle{2000};
// Idle sessions kept at most, over all settings. The sessions a busy moment had in use come
// back idle together; a bound below their number closes some only to open new ones a moment
// later (measured at 32 clients: 16 kept meant a new session per 18 messages, 48 one per 500).
// A relay takes an idle session before it opens one, so with one account the sessions, idle
// or busy, never outnumber the relays at once; other accounts add at most this many.
inline constexpr size_t kMaxKeptSessions = 48;

class TRelaySessions {
  public:
    using Clock = std::chrono::steady_clock;

    explicit TRelaySessions(size_t maxKept = kMaxKeptSessions) : maxKept_(maxKept) {}
    // Closes the kept sessions, sending QUIT without waiting for its reply: an exit does not
    // wait on an upstream.
    ~TRelaySessions();
    TRelaySessions(const TRelaySessions&) = delete;
    TRelaySessions& operator=(const TRelaySessions&) = delete;

    // Any thread. The most recently used idle session opened with `key`, or null; a session
    // taken is in use and established until it is given back or Ended.
    std::unique_ptr<TSmtpSender> Take(const TSessionKey& key);
    // Any thread. The connections open at once to one upstream (host and port) at most, in
    // use, kept or closing (0: no bound, the default). Relays read it at their next Opening.
    void SetMaxOpen(size_t maxOpen);
    // Any thread. A new session to key's host and port is about to open: it is in use until
    // given back or Ended. When the bound's number are in use, kept or closing for that
    // upstream already, the longest idle one kept for it is closed first (QUIT, on the calling
    // thread), whatever account it was opened for; with none kept, it waits for one being
    // closed elsewhere to be closed, so that the upstream never sees one more than the bound.
    void Opening(const TSessionKey& key);
    // Any thread. A session being opened was greeted: it is established.
    void Established(const TSessionKey& key);
    // Any thread. A session taken or opened is closed without being given back.
    void Ended(const TSessionKey& key, bool established);
    // Any thread. Keeps an open session that has just carried a message; when the bound is
    // reached the longest idle one is closed instead (QUIT, on the calling thread).
    void Give(const TSessionKey& key, std::unique_ptr<TSmtpSender> session);
    // Any thread; blocks for the QUITs. Closes the sessions idle for `idle` or longer.
    void CloseIdle(std::chrono::milliseconds idle);
    size_t Kept() const;
    // Sessions open to an upstream, "host:port": established (greeted) and in use, and kept.
    // One still connecting is not counted: when an upstream refuses sessions, the ones it
    // has taken are what it allows.
    size_t Open(const std::string& upstream) const;
    // The most connections the relay had to `upstream` at once since this object was made:
    // every session from before its connect until its socket was closed (in use, kept, or
    // being closed with QUIT).
    size_t PeakConnections(const std::string& upstream) const;

  private:
    static std::string UpstreamOf(const TSessionKey& key) {
        return UpstreamName(key.host, key.port);
    }
    // Idle sessions kept for `upstream`; with mutex_ held.
    size_t KeptFor(const std::string& upstream) const;
    // Takes the longest idle session kept for `upstream` out, or null; with mutex_ held.
    std::unique_ptr<TSmtpSender> TakeIdleOf(const std::string& upstream);
    // A session in use has ended; with mutex_ held.
    void EndedLocked(const std::string& upstream, bool established);
    struct Idle;
    struct Leaving {
        std::string upstream;
        std::unique_ptr<TSmtpSender> session;
    };
    // A kept session taken out to be closed, counted as closing; with mutex_ held.
    Leaving TakeForClosing(Idle& idle);
    // Closes sessions taken out to be closed, and stops counting them once their sockets are.
    void CloseTaken(std::vector<Leaving> leaving);
    // Connections to `upstream` now (in use, kept, closing); with mutex_ held.
    size_t ConnectionsTo(const std::string& upstream) const;
    void NotePeak(const std::string& upstream);

    struct Idle {
        TSessionKey key;
        std::unique_ptr<TSmtpSender> session;
        Clock::time_point idleSince;
    };
    size_t maxKept_;
    size_t maxOpen_ = 0; // with mutex_ held
    mutable std::mutex mutex_;
    std::deque<Idle> kept_; // the longest idle first
    // Sessions in use (taken or being opened) per "host:port", and of them those established.
    struct InUse {
        size_t all = 0, established = 0;
    };
    std::unordered_map<std::string, InUse> inUse_;
    // Sessions out of kept_ whose QUIT is under way on some thread, per "host:port": their
    // connections are still open.
    std::unordered_map<std::string, size_t> closing_;
    std::condition_variable closed_;
    std::unordered_map<std::string, size_t> peak_;
};

} // namespace smtpclient
