#include "bench/smtp_load.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

class Conn {
  public:
    explicit Conn(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        timeval tv{30, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~Conn() { ::close(fd_); }
    bool Ok() const { return ok_; }
    bool Send(const std::string& s) {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // The reply's code (last line of a multi-line reply), or 0.
    int Reply() {
        for (;;) {
            size_t eol = buffer_.find("\r\n");
            if (eol != std::string::npos) {
                std::string line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 2);
                if (line.size() >= 4 && line[3] == '-') continue;
                return line.size() >= 3 ? std::atoi(line.substr(0, 3).c_str()) : 0;
            }
            char chunk[4096];
            ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
            if (n <= 0) return 0;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    std::string buffer_;
};

} // namespace

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    socklen_t len = sizeof(sin);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    ::close(fd);
    return ntohs(sin.sin_port);
}

int ListenOnLoopback(int backlog, int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string MakeBody(int bytes) {
    std::string body = "From: bench@corp.example\r\nTo: sink@example.net\r\nSubject: load\r\n\r\n";
    while (static_cast<int>(body.size()) < bytes - 2)
        body += "0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
    body.resize(static_cast<size_t>(bytes - 2));
    body += "\r\n";
    return body;
}

double LoadResult::Percentile(double p) const {
    if (latenciesMs.empty()) return 0;
    std::vector<double> sorted = latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

LoadResult RunSmtpLoad(int port, int clients, int messagesPerClient, int messageBytes,
                       const RecipientsOf& recipients) {
    LoadResult result;
    std::mutex mutex;
    std::string body = MakeBody(messageBytes);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<double> mine;
            int failures = 0;
            Conn conn(port);
            bool ok = conn.Ok() && conn.Reply() == 220 &&
                      conn.Send("HELO bench" + std::to_string(c) + "\r\n") && conn.Reply() == 250;
            for (int m = 0; ok && m < messagesPerClient; ++m) {
                ok = conn.Send("MAIL FROM:<c" + std::to_string(c) + "@corp.example>\r\n") &&
                     conn.Reply() == 250;
                std::vector<std::string> to =
                    recipients ? recipients(c, m) : std::vector<std::string>{"sink@example.net"};
                for (const std::string& recipient : to)
                    ok = ok && conn.Send("RCPT TO:<" + recipient + ">\r\n") && conn.Reply() == 250;
                ok = ok && conn.Send("DATA\r\n") && conn.Reply() == 354 && conn.Send(body);
                if (!ok) break;
                auto t0 = Clock::now();
                ok = conn.Send(".\r\n") && conn.Reply() == 250;
                if (ok)
                    mine.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
            if (ok) conn.Send("QUIT\r\n"), conn.Reply();
            failures = messagesPerClient - static_cast<int>(mine.size());
            std::lock_guard<std::mutex> lock(mutex);
            result.messages += static_cast<int>(mine.size());
            result.failures += failures;
            result.latenciesMs.insert(result.latenciesMs.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : threads) t.join();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

void RunNumberedLoad(int port, int clients, int total, const std::function<void(int)>& accepted,
                     const std::atomic<bool>& stop) {
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            int number = next++;
            while (number < total && !stop) {
                Conn conn(port);
                bool ok = conn.Ok() && conn.Reply() == 220 &&
                          conn.Send("HELO crash" + std::to_string(c) + "\r\n") &&
                          conn.Reply() == 250;
                while (ok && number < total && !stop) {
                    ok =
                        conn.Send("MAIL FROM:<c" + std::to_string(c) + "@corp.example>\r\n") &&
                        conn.Reply() == 250 && conn.Send("RCPT TO:<sink@example.net>\r\n") &&
                        conn.Reply() == 250 && conn.Send("DATA\r\n") && conn.Reply() == 354 &&
                        conn.Send("Subject: " + std::to_string(number) + "\r\n\r\nbody\r\n.\r\n") &&
                        conn.Reply() == 250;
                    if (!ok) break;
                    accepted(number);
                    number = next++;
                }
                if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    for (auto& t : threads) t.join();
}

} // namespace bench
