// Seeded fuzzing of the client against a hostile or broken upstream: sessions whose replies
// are mutated, random, long, endless, dripped a byte at a time, split, full of NUL and 8-bit
// bytes, of the wrong code or ended by a close or a reset at any point, TLS garbage after
// STARTTLS or instead of a handshake. Each relay must be decided within its time-outs plus a
// margin, memory must stay bounded and be given back, and a normal message must still go out
// afterwards. VANTRO_UPSTREAM_FUZZ_SESSIONS and VANTRO_FUZZ_SEED change the run (`make fuzz`
// runs a long one).
#include "smtpclient/smtpsender.h"
#include "tests/support/loopback.h"
#include "tests/support/upstream.h"
#include "tls/tls_openssl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>

namespace {

const bool kTlsInstalled = tls::InitTlsModule();

using Clock = std::chrono::steady_clock;

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

long StatusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// One fuzzed upstream session on the server's side of `fd`. It reads the client's lines and
// answers each as `random` decides; it ends when the client has gone or its plan is done.
class HostileSession {
  public:
    HostileSession(int fd, std::mt19937& random) : fd_(fd), random_(random) {}

    void Run() {
        if (!Answer("")) return;
        for (int steps = 0; steps < 40; ++steps) {
            std::string line;
            if (!ReadLine(line)) return;
            if (inData_) {
                if (line != ".") continue;
                inData_ = false;
            }
            if (!Answer(line)) return;
        }
    }

  private:
    // The reply a correct server would give to `command` ("" for the greeting).
    std::string Valid(const std::string& command) {
        std::string upper = command.substr(0, 4);
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (command.empty()) return "220 fuzz ESMTP\r\n";
        if (upper == "EHLO") {
            const char* caps[] = {"250-AUTH LOGIN PLAIN CRAM-MD5\r\n", "250-STARTTLS\r\n",
                                  "250-SIZE 1000\r\n", "250-AUTH=LOGIN\r\n", "250-8BITMIME\r\n"};
            std::string reply = "250-fuzz\r\n";
            for (const char* cap : caps)
                if (random_() % 2) reply += cap;
            return reply + "250 OK\r\n";
        }
        if (upper == "DATA") {
            inData_ = true;
            return "354 go\r\n";
        }
        if (upper == "QUIT") return "221 bye\r\n";
        if (upper == "STAR") {
            startTls_ = true;
            return "220 ready\r\n";
        }
        if (upper == "AUTH" || (!command.empty() && command.find(' ') == std::string::npos &&
                                command.size() > 3 && random_() % 2))
            return random_() % 2 ? "334 PDEyMzQ1QGZ1eno+\r\n" : "235 ok\r\n";
        return "250 OK\r\n";
    }

    std::string RandomBytes(size_t length, bool withLineEnds) {
        std::string bytes(length, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random_());
            if (!withLineEnds && (c == '\r' || c == '\n')) c = 'x';
        }
        return bytes;
    }

    // False when the session is over (closed, reset, or an endless reply the client left).
    bool Answer(const std::string& command) {
        std::string reply = Valid(command);
        // One reply in four is hostile, so that sessions also get deep (AUTH, DATA, QUIT).
        unsigned kind = random_() % 44;
        switch (kind) {
        case 0: // the wrong code
            reply = std::to_string(random_() % 1000) + " odd\r\n";
            break;
        case 1: // a long line, sometimes without its end
            reply = "250 " + RandomBytes(random_() % 12000, false) + (random_() % 2 ? "\r\n" : "");
            break;
        case 2: // endless: one line that never ends
            return Endless("250 ", 'x');
        case 3: // endless: a reply that is always continued
            return Endless("250-more\r\n", 0);
        case 4: // NUL and 8-bit bytes, with line ends
            reply = reply.substr(0, 3) + " " + RandomBytes(random_() % 200, true) + "\r\n";
            break;
        case 5: // line ends other than CR LF
            for (char& c : reply)
                if (c == '\r') c = random_() % 2 ? '\n' : '\r';
            break;
        case 6: // cut short, then closed
            Send(reply.substr(0, random_() % (reply.size() + 1)));
            return false;
        case 7: // reset
            testsupport::SetAbortiveClose(fd_);
            return false;
        case 8: // dripped a byte at a time
            for (char c : reply) {
                if (!Send(std::string(1, c))) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(random_() % 30));
            }
            return true;
        case 9: // garbage where TLS should be, after a 220 to STARTTLS or at once
            reply += RandomBytes(random_() % 300, true);
            break;
        case 10: // silence until the client gives up
            return Endless("", 0);
        default: // as a server would say it, perhaps in pieces
            break;
        }
        size_t at = 0;
        while (at < reply.size()) {
            size_t piece = random_() % 4 == 0 ? 1 + random_() % 8 : reply.size();
            if (!Send(reply.substr(at, piece))) return false;
            at += piece;
        }
        if (startTls_) {
            // The client now speaks TLS: its handshake is answered with garbage.
            startTls_ = false;
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 500);
            Send(RandomBytes(random_() % 500, true));
            return false;
        }
        return true;
    }

    // Sends `unit` (or filler bytes when `unit` is a lone byte) until the client stops reading
    // or 3 s have passed: no endless reply may outlast the client's time-out.
    bool Endless(const std::string& head, char filler) {
        auto until = Clock::now() + std::chrono::seconds(3);
        std::string chunk = filler ? std::string(4096, filler) : head;
        if (filler) Send(head);
        while (Clock::now() < until) {
            if (!chunk.empty() && !Send(chunk)) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0) {
                char byte;
                if (::recv(fd_, &byte, 1, MSG_PEEK) <= 0) return false;
                if (chunk.empty()) return true; // silence ended by a command
            }
        }
        return false;
    }

    bool Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 200) <= 0) return false; // the client has stopped reading
            ssize_t n =
                ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    bool ReadLine(std::string& line) {
        line.clear();
        auto until = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char c;
            if (::recv(fd_, &c, 1, 0) != 1) return false;
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            if (line.size() < 100000) line += c;
        }
        return false;
    }

    int fd_;
    std::mt19937& random_;
    bool inData_ = false;
    bool startTls_ = false;
};

// A hostile upstream on a port of its own serving sessions `first`, `first` + `step`, ... in
// order, each on a thread of its own (so that one still dripping or flooding after its client
// left never holds up the next one's greeting), a few at most at once.
struct HostileUpstream {
    int port = 0;
    int listener;
    std::thread thread;

    HostileUpstream(int first, int step, int sessions, unsigned seed)
        : listener(testsupport::ListenLoopback(port)) {
        thread = std::thread([=, this] {
            std::deque<std::thread> running;
            for (int i = first; i < sessions; i += step) {
                int fd = testsupport::AcceptWithin(listener, 10000);
                if (fd < 0) break;
                running.emplace_back([fd, i, seed] {
                    std::mt19937 random(seed * 7919u + static_cast<unsigned>(i));
                    HostileSession(fd, random).Run();
                    testsupport::CloseFd(fd);
                });
                if (running.size() > 4) {
                    running.front().join();
                    running.pop_front();
                }
            }
            for (std::thread& session : running) session.join();
        });
    }
    ~HostileUpstream() {
        thread.join();
        testsupport::CloseFd(listener);
    }
};

TEST(UpstreamFuzz, HostileRepliesAreDecidedInTimeAndLeaveTheClientWhole) {
    const int sessions = EnvNumber("VANTRO_UPSTREAM_FUZZ_SESSIONS", 2000);
    const unsigned seed = static_cast<unsigned>(EnvNumber("VANTRO_FUZZ_SEED", 20261210));
    // Relays side by side, each pair of client and upstream in a fixed order: a session is
    // the same for the same seed however the pairs interleave.
    const int kPairs = 16;
    const int timeoutMs = 150;
    // Every reply the session waits for at most once (greeting, EHLO or HELO, STARTTLS and
    // EHLO again, three of AUTH, MAIL, RCPT twice, DATA, QUIT): a hostile reply may take each
    // to its time-out, never more. The reply to the end of the text is waited for as long as
    // the upstream keeps its connection (minutes): here its 3 s of silence at the most.
    const double boundSeconds = 14 * timeoutMs / 1000.0 + 3.0 + 2.0;
    long rssBefore = StatusKilobytes("VmRSS:");
    std::atomic<int> relayed{0};
    std::vector<double> slowest(kPairs, 0.0);
    std::vector<std::string> failures(kPairs);
    {
        std::vector<std::unique_ptr<HostileUpstream>> upstreams;
        for (int k = 0; k < kPairs; ++k)
            upstreams.push_back(std::make_unique<HostileUpstream>(k, kPairs, sessions, seed));
        std::vector<std::thread> clients;
        for (int k = 0; k < kPairs; ++k)
            clients.emplace_back([&, k] {
                for (int i = k; i < sessions; i += kPairs) {
                    std::mt19937 choices(seed + static_cast<unsigned>(i));
                    smtpclient::TRelayOptions options;
                    options.SystemName = "fuzz";
                    options.TimeoutMs = timeoutMs;
                    options.AutoTLS = choices() % 2;
                    options.FullSSL = choices() % 8 == 0;
                    options.VerifyCert = false;
                    bool credentials = choices() % 2;
                    std::string reason;
                    auto start = Clock::now();
                    bool ok = smtpclient::RelayMessage(
                        options, "a@x.example", "b@y.example,c@y.example",
                        "127.0.0.1:" + std::to_string(upstreams[k]->port),
                        std::vector<std::string>{"Subject: fuzz", "", ".dot", "body"},
                        credentials ? "user" : "", credentials ? "secret" : "", &reason);
                    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                    slowest[k] = std::max(slowest[k], seconds);
                    relayed += ok ? 1 : 0;
                    if (failures[k].empty() && (seconds >= boundSeconds || (!ok && reason.empty())))
                        failures[k] = "session " + std::to_string(i) + " took " +
                                      std::to_string(seconds) + " s, reason: \"" + reason + "\"";
                }
            });
        for (std::thread& client : clients) client.join();
    }
    for (int k = 0; k < kPairs; ++k) EXPECT_EQ(failures[k], "") << "seed " << seed;
    double slowestAll = *std::max_element(slowest.begin(), slowest.end());
    long rssAfter = StatusKilobytes("VmRSS:");
    // Replies are bounded (4,096-byte lines, 1,000 lines) and given back when a relay ends.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(rssAfter - rssBefore, 16 * 1024)
        << rssBefore << " kB before, " << rssAfter << " kB after";
#endif
    std::printf("upstream fuzz: %d sessions (seed %u), %d relayed, slowest %.2f s (bound %.2f s), "
                "resident %ld kB before, %ld kB after\n",
                sessions, seed, relayed.load(), slowestAll, boundSeconds, rssBefore, rssAfter);

    // The client still relays a normal message to a normal server.
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    smtpclient::TRelayOptions options;
    options.SystemName = "after";
    std::string reason;
    EXPECT_TRUE(smtpclient::RelayMessage(
        options, "a@x.example", "b@y.example", upstream.HostAndPort(),
        std::vector<std::string>{"Subject: after", "", "fine"}, "", "", &reason))
        << reason;
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages()[0].content, "Subject: after\r\n\r\nfine\r\n");
}

} // namespace
