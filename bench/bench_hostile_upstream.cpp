// The shipped program, with its default settings, relaying one message each to upstreams that
// attack it: a greeting line that never ends, a greeting continued without end ("220-..."
// forever), a 61-byte greeting sent one byte a second, and plain-text replies injected after
// the "220" to STARTTLS. For each: how long the delivery took to be decided (the upstream
// sees its connection closed), the program's peak resident size above its size just before,
// and what it holds a second afterwards; for the injection, what the upstream received after
// its 220.
//
//   bench_hostile_upstream [path-to-vantrosmtp]
#include "bench/peers.h"
#include "bench/smtp_load.h"
#include "platform/ini_profile.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A one-connection upstream on 127.0.0.1 that runs `attack` on the connection it accepts and
// notes when the program closed it.
class HostilePeer {
  public:
    using Attack = std::function<void(int fd, std::string& received)>;

    explicit HostilePeer(Attack attack) {
        listener_ = bench::ListenOnLoopback(4, port_);
        thread_ = std::thread([this, attack] {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            accepted_ = Clock::now();
            attack(fd, received_);
            // Whatever the attack left unread, up to the program's close.
            char buffer[4096];
            for (;;) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 60000) <= 0) break;
                ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                received_.append(buffer, static_cast<size_t>(n));
            }
            closed_ = Clock::now();
            done_ = true;
            ::close(fd);
        });
    }
    ~HostilePeer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    int Port() const { return port_; }
    bool Done() const { return done_; }
    double Seconds() const { return std::chrono::duration<double>(closed_ - accepted_).count(); }
    const std::string& Received() const { return received_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> done_{false};
    Clock::time_point accepted_, closed_;
    std::string received_;
};

// Sends `bytes` again and again until the program closes the connection (60 s at most).
void Flood(int fd, const std::string& first, const std::string& again) {
    ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    auto until = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < until) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) < 0) return;
        if ((p.revents & (POLLERR | POLLHUP)) != 0) return;
        if ((p.revents & POLLOUT) != 0 && ::send(fd, again.data(), again.size(), MSG_NOSIGNAL) < 0)
            return;
    }
}

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

void Run(const std::string& program, const char* name, const HostilePeer::Attack& attack,
         bool startTls) {
    HostilePeer peer(attack);
    int port = bench::FreeLoopbackPort();
    bench::Program vantro(program, port, peer.Port(), 0, [startTls](const std::string& path) {
        platform::IniProfile ini(path, "smtpconfig");
        ini.WriteStrings({{"tls", startTls ? "1" : "0"}, {"user", "me"}, {"psw", "secret"}});
    });
    if (!vantro.Ok()) {
        std::printf("%s: the program did not start\n", name);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    vantro.ResetPeak();
    long before = vantro.ResidentKilobytes();
    bench::RunSmtpLoad(port, 1, 1, 1024);
    bench::WaitFor([&] { return peer.Done(); }, 90);
    long peak = vantro.PeakKilobytes();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long after = vantro.ResidentKilobytes();
    std::printf("%s: decided in %.1f s%s (target <= 32 s); peak %.1f MB above the %.1f MB before "
                "(target <= 20 MB), %.1f MB above it a second later\n",
                name, peer.Done() ? peer.Seconds() : 90.0, peer.Done() ? "" : " (NOT decided)",
                (peak - before) / 1024.0, before / 1024.0, (after - before) / 1024.0);
    if (startTls) {
        std::string received = peer.Received();
        size_t auth = received.find("AUTH");
        std::printf("%s: after the 220 the upstream received %zu bytes (\"%s\"); AUTH %s\n", name,
                    received.size(), received.substr(0, 60).c_str(),
                    auth == std::string::npos ? "never sent" : "SENT");
    }
    vantro.Stop();
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Run(
        program, "endless greeting line",
        [](int fd, std::string&) { Flood(fd, "220 ", std::string(65536, 'x')); }, false);
    Run(
        program, "endless multi-line greeting",
        [](int fd, std::string&) {
            std::string lines;
            for (int i = 0; i < 512; ++i) lines += "220-" + std::string(120, 'y') + "\r\n";
            Flood(fd, "", lines);
        },
        false);
    Run(
        program, "61-byte greeting at one byte a second",
        [](int fd, std::string&) {
            std::string greeting = "220 upstream.example ESMTP slow greeting, one byte a sec\r\n";
            greeting.resize(59, '.');
            greeting += "\r\n";
            for (char c : greeting) {
                if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 1000) > 0) return; // the program gave up and closed
            }
        },
        false);
    Run(
        program, "STARTTLS injection",
        [](int fd, std::string& received) {
            auto say = [fd](const std::string& text) {
                ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            };
            say("220 upstream.example ESMTP\r\n");
            ReadLine(fd); // EHLO
            say("250-upstream.example\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n");
            ReadLine(fd); // STARTTLS
            // The 220 and, in the same packet, replies meant to answer commands sent inside TLS.
            say("220 go ahead\r\n250-upstream.example\r\n250 SIZE 1000\r\n250 OK\r\n250 OK\r\n");
            received.clear();
        },
        true);
    return 0;
}
