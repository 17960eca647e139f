// The shipped program, with its default settings, against upstreams whose ordinary answers
// decide recipients one by one, and against upstreams that stall:
// - 1,000 messages from 8 clients, each to three recipients of which the upstream (the
//   suite's aiosmtpd script) refuses one with 550 and defers one once with 450: how often
//   each recipient got its message, the list lines, what the spool keeps;
// - 10 messages of 16 MB to an upstream that stops reading after its 354 (the program's
//   maxsessions, so every session place is taken), then one small message: how long after
//   its 354 each stalled session was given up, how soon the small message arrived after its
//   "250 OK ", and whether the stalled ones arrived on their retry.
//
//   bench_delivery_semantics [path-to-vantrosmtp [mixed|stalled]]
#include "bench/peers.h"
#include "bench/smtp_load.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void MixedRecipients(const std::string& program) {
    int upstreamPort = bench::FreeLoopbackPort();
    bench::ScriptUpstream upstream(
        upstreamPort, {"--refuse-rcpt", "*@nobody.example", "--defer-once", "*@later.example"});
    int port = bench::FreeLoopbackPort();
    bench::Program vantro(program, port, upstreamPort);
    if (!upstream.Ok() || !vantro.Ok()) {
        std::printf("mixed recipients: could not start the peer or the program\n");
        return;
    }
    constexpr int kClients = 8, kEach = 125, kMessages = kClients * kEach;
    auto recipients = [](int client, int message) {
        std::string n = "m" + std::to_string(client * kEach + message);
        return std::vector<std::string>{n + "@ok.example", n + "@nobody.example",
                                        n + "@later.example"};
    };
    bench::LoadResult load = bench::RunSmtpLoad(port, kClients, kEach, 1024, recipients);
    auto lastAccepted = Clock::now();
    // The deferred ones come back after their first retry delay (a minute).
    bench::WaitFor(
        [&] {
            size_t got = 0;
            for (const auto& [address, count] : upstream.RecipientCounts()) got += size_t(count);
            return got >= 2 * size_t(kMessages);
        },
        240);
    double after = std::chrono::duration<double>(Clock::now() - lastAccepted).count();
    std::this_thread::sleep_for(std::chrono::seconds(2)); // a copy sent twice would be here now
    size_t ok = 0, later = 0, refused = 0, twice = 0;
    for (const auto& [address, count] : upstream.RecipientCounts()) {
        ok += address.find("@ok.example") != std::string::npos ? 1 : 0;
        later += address.find("@later.example") != std::string::npos ? 1 : 0;
        refused += address.find("@nobody.example") != std::string::npos ? 1 : 0;
        twice += count > 1 ? 1 : 0;
    }
    vantro.Stop();
    std::printf("mixed recipients: %d messages accepted (%d refused) x 3 recipients; the upstream "
                "got %zu of the accepted ones and %zu of the deferred ones (targets %d and %d), "
                "%zu of the refused ones (target 0), %zu recipients more than once (target 0), "
                "the last %.1f s after the last \"250 OK \"; %zu success lines, %zu failure lines "
                "(targets %d and %d), %zu kept in the spool (the refused ones, for a resend)\n",
                load.messages, load.failures, ok, later, kMessages, kMessages, refused, twice,
                after, vantro.ListLines("good.ini"), vantro.ListLines("bad.ini"), 2 * kMessages,
                kMessages, vantro.SpooledMessages());
}

// An upstream on 127.0.0.1 whose first `stalls` sessions stop reading after their 354; the
// others take their messages. Each session on a thread of its own.
class StallingUpstream {
  public:
    explicit StallingUpstream(int stalls) : stallsLeft_(stalls) {
        listener_ = bench::ListenOnLoopback(64, port_);
        acceptor_ = std::thread([this] {
            for (;;) {
                int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0) return;
                std::lock_guard<std::mutex> lock(mutex_);
                sessions_.emplace_back([this, fd] { Serve(fd); });
            }
        });
    }
    ~StallingUpstream() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        acceptor_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& session : sessions_) session.join();
    }
    int Port() const { return port_; }
    int Delivered() const { return delivered_; }
    int Stalled() const { return stalled_; }
    // Seconds from each stalled session's 354 to the program's close.
    std::vector<double> GivenUpAfter() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return givenUp_;
    }
    Clock::time_point FirstHealthyDelivery() const { return firstHealthy_; }

  private:
    // A command line; empty when the connection ended or the peer is stopping.
    std::string Line(int fd) const {
        std::string line;
        char c;
        while (!stopping_) {
            pollfd p{fd, POLLIN, 0};
            int ready = ::poll(&p, 1, 200);
            if (ready < 0) break;
            if (ready == 0) continue;
            if (::recv(fd, &c, 1, 0) != 1) break;
            line += c;
            if (c == '\n') return line;
        }
        return std::string();
    }
    static void Say(int fd, const std::string& text) {
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
    // Reads a text up to its end line; false when the connection went first.
    static bool Text(int fd) {
        std::string window; // the end of what came so far
        char buffer[65536];
        for (;;) {
            ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return false;
            window.append(buffer, size_t(n));
            if (window.find("\r\n.\r\n") != std::string::npos) return true;
            if (window.size() > 4) window.erase(0, window.size() - 4);
        }
    }
    void Stall(int fd) {
        auto since = Clock::now();
        // Nothing is read: only the program's close ends the wait.
        pollfd p{fd, POLLRDHUP, 0}; // a reset comes as POLLHUP or POLLERR
        while (!stopping_ && ::poll(&p, 1, 200) == 0) {
        }
        std::lock_guard<std::mutex> lock(mutex_);
        givenUp_.push_back(std::chrono::duration<double>(Clock::now() - since).count());
    }
    void Serve(int fd) {
        Say(fd, "220 stall.example ESMTP\r\n");
        for (std::string line = Line(fd); !line.empty(); line = Line(fd)) {
            std::string verb = line.substr(0, 4);
            if (verb == "QUIT") {
                Say(fd, "221 bye\r\n");
                break;
            }
            if (verb != "DATA") {
                Say(fd, "250 ok\r\n");
                continue;
            }
            Say(fd, "354 go ahead\r\n");
            if (stallsLeft_-- > 0) {
                ++stalled_;
                Stall(fd);
                break;
            }
            if (!Text(fd)) break;
            if (delivered_++ == 0) firstHealthy_ = Clock::now();
            Say(fd, "250 stored\r\n");
        }
        ::close(fd);
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> stallsLeft_;
    std::atomic<int> delivered_{0};
    std::atomic<int> stalled_{0};
    std::atomic<bool> stopping_{false};
    Clock::time_point firstHealthy_{};
    mutable std::mutex mutex_;
    std::vector<double> givenUp_;
    std::vector<std::thread> sessions_;
    std::thread acceptor_;
};

void StalledUpstream(const std::string& program) {
    constexpr int kStalls = 10; // the default maxsessions: every place at the gate
    StallingUpstream upstream(kStalls);
    int port = bench::FreeLoopbackPort();
    bench::Program vantro(program, port, upstream.Port());
    if (!vantro.Ok()) {
        std::printf("stalled upstream: the program did not start\n");
        return;
    }
    bench::RunSmtpLoad(port, kStalls, 1, 16 * 1024 * 1024);
    // Every session place is taken by a stalled session before the next message comes.
    bench::WaitFor([&] { return upstream.Stalled() >= kStalls; }, 60);
    bench::LoadResult small = bench::RunSmtpLoad(port, 1, 1, 1024);
    auto accepted = Clock::now();
    bench::WaitFor([&] { return upstream.Delivered() >= 1; }, 120);
    double smallAfter =
        upstream.Delivered() >= 1
            ? std::chrono::duration<double>(upstream.FirstHealthyDelivery() - accepted).count()
            : -1;
    // The stalled ones were deferred: their retry (a minute on) finds the upstream healthy.
    bench::WaitFor([&] { return upstream.Delivered() >= kStalls + 1; }, 180);
    std::vector<double> givenUp = upstream.GivenUpAfter();
    double slowest = 0;
    for (double seconds : givenUp) slowest = std::max(slowest, seconds);
    vantro.Stop();
    std::printf("stalled upstream: %zu of %d stalled sessions given up, the slowest %.1f s after "
                "its 354 (target <= 30 s after its last progress); the next message (%d "
                "accepted) arrived %.1f s after its \"250 OK \" (target <= 40 s); %d messages "
                "delivered in all (target %d), %zu failure lines, %zu left in the spool\n",
                givenUp.size(), kStalls, slowest, small.messages, smallAfter, upstream.Delivered(),
                kStalls + 1, vantro.ListLines("bad.ini"), vantro.SpooledMessages());
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string only = argc > 2 ? argv[2] : "";
    if (only.empty() || only == "mixed") MixedRecipients(program);
    if (only.empty() || only == "stalled") StalledUpstream(program);
    return 0;
}
