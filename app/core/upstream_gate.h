// How many deliveries go to one upstream (host and port) at once. An upstream's sessions are
// a resource of someone else's: mail servers cap the sessions of one client (exim's
// smtp_accept_max, providers' per-client limits) and answer one too many with a 421 or a
// closed connection. Deliveries beyond the limit wait here, in arrival order, instead of
// opening sessions that would be refused. The limit starts at the user's maximum, drops to
// the sessions then open when the upstream refuses a new one while others are open, and grows
// back by one after each run of as many successes as the limit. Any thread: deliveries are
// offered on the relay's thread and finish on the workers, which take the next one waiting.
#pragma once

#include "app/core/delivery.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace app {

class UpstreamGate {
  public:
    using Request = std::shared_ptr<DeliveryRequest>;
    enum class Result { Relayed, Failed, SessionRefused };

    explicit UpstreamGate(size_t maxSessions) : maxSessions_(maxSessions < 1 ? 1 : maxSessions) {}

    // The user's maximum; a limit above it comes down to it.
    void SetMaxSessions(size_t maxSessions);
    // A delivery to `request->upstream`: what may start now, in arrival order (counted as
    // running until Finished); the rest waits.
    std::vector<Request> Offer(Request request);
    // A delivery to `upstream` has ended. `openNow`: the sessions to it still open (in use
    // or kept), which a session refusal makes the limit. What may start now.
    std::vector<Request> Finished(const std::string& upstream, Result result, size_t openNow);

    size_t Limit(const std::string& upstream) const;
    size_t Running(const std::string& upstream) const;
    // Deliveries waiting for a session, over all upstreams.
    size_t Waiting() const;
    // Every delivery still waiting, taken out (an exit: they never started).
    std::vector<Request> TakeWaiting();

  private:
    struct Upstream {
        size_t limit = 0;
        size_t running = 0;
        size_t successes = 0; // since the limit last changed
        std::deque<Request> waiting;
    };
    // With mutex_ held.
    std::vector<Request> Startable(Upstream& upstream);

    mutable std::mutex mutex_;
    size_t maxSessions_;
    size_t waiting_ = 0;
    std::unordered_map<std::string, Upstream> upstreams_;
};

// The gate's name of an account's upstream, "host:port", as the kept sessions name theirs.
std::string UpstreamOf(const Account& account);

} // namespace app
