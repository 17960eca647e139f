// A loopback TCP proxy that puts an upstream far away: each direction's bytes are forwarded
// half a round trip after they arrived, and a new connection reaches the upstream a round
// trip after it was accepted (the TCP handshake over the distance). It counts round trips: a
// turn is a client's bytes answered by the server's, per connection.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

class DelayProxy {
  public:
    DelayProxy(int upstreamPort, std::chrono::milliseconds roundTrip);
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    int Port() const { return port_; }
    // Round trips so far, the connects included (one each).
    long RoundTrips() const { return roundTrips_; }
    long Connections() const { return connections_; }
    // Per connection, by the port the upstream saw it come from: its round trips so far.
    std::map<int, long> RoundTripsByUpstreamPort() const;

  private:
    struct Link;
    void Accept();
    void Serve(int client);

    int listener_ = -1;
    int port_ = 0;
    int upstreamPort_;
    std::chrono::milliseconds roundTrip_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> roundTrips_{0}, connections_{0};
    mutable std::mutex mutex_;
    std::map<int, std::shared_ptr<std::atomic<long>>> byPort_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace bench
