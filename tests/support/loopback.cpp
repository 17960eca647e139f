#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testsupport {

namespace {
sockaddr_in Loopback(int port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}
long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

int ListenLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin = Loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof(sin);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
    return fd;
}

int ListenLoopbackV6(int& port) {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 8) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin6_port);
    return fd;
}

std::thread AnswerOnce(int listener, std::string reply) {
    return std::thread([listener, reply = std::move(reply)] {
        int fd = AcceptWithin(listener, 5000);
        if (fd < 0) return;
        SendAll(fd, reply);
        ReadLine(fd, 2000);
        ::close(fd);
    });
}

int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int ConnectLoopbackV6(int port) {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int ConnectLoopbackAsync(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sin = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int AcceptWithin(int listenFd, int timeoutMs) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

namespace {

// The ports the kernel hands out itself, for bind() to port 0 and for every connect()'s own
// end: a port picked there and released could be taken by any test's next connection before
// its server has bound it ("address already in use").
std::pair<int, int> EphemeralPorts() {
    int low = 32768, high = 60999;
    if (FILE* file = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(file, "%d %d", &low, &high) != 2) low = 32768, high = 60999;
        std::fclose(file);
    }
    return {low, high};
}

bool Bindable(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    // A server of an earlier test may have left the port in TIME_WAIT: ours bind it anyway.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sin = Loopback(port);
    bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
    if (fd >= 0) ::close(fd);
    return bound;
}

// A lock on `port` for this process's life, so that the tests running beside it never pick
// it too: a lock file per port, locked while the process lives. False when another holds it.
// Called under FreePort's lock.
bool Reserve(int port) {
    static std::vector<int> held; // closed by the process's exit, which releases the locks
    std::string folder = "/tmp/vantro-test-ports-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    std::string path = folder + "/" + std::to_string(port);
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return true; // no folder for locks: the range alone keeps ports apart
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    held.push_back(fd);
    return true;
}

} // namespace

int FreePort() {
    auto [low, high] = EphemeralPorts();
    // Below the kernel's range where there is room for it, else above it.
    int first = low > 11000 ? 10000 : high + 1, last = low > 11000 ? low - 1 : 65535;
    static std::mt19937 random{std::random_device{}()};
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int port = std::uniform_int_distribution<int>(first, last)(random);
        if (Reserve(port) && Bindable(port)) return port;
    }
    int port = 0; // the machine is full of our tests' ports: the kernel's choice, as before
    ::close(ListenLoopback(port));
    return port;
}

void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& until, int timeoutMs) {
    std::string got;
    long long deadline = NowMs() + timeoutMs;
    while (!until(got)) {
        long long left = deadline - NowMs();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[65536];
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    long long deadline = NowMs() + timeoutMs;
    while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
        long long left = deadline - NowMs();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char c;
        if (::recv(fd, &c, 1, 0) != 1) break;
        line += c;
    }
    return line;
}

bool WaitForClose(int fd, int timeoutMs, std::string* rest) {
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        long long left = deadline - NowMs();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return true;
        if (rest) rest->append(buffer, static_cast<size_t>(n));
    }
}

void SetAbortiveClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

void CloseFd(int fd) {
    if (fd >= 0) ::close(fd);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    platform::MessageLoop& loop = platform::MessageLoop::Current();
    while (!done()) {
        long long left = deadline - NowMs();
        if (left <= 0) return done();
        loop.RunOnce(static_cast<int>(left < 20 ? left : 20));
    }
    return true;
}

void PumpFor(int ms) {
    long long deadline = NowMs() + ms;
    platform::MessageLoop& loop = platform::MessageLoop::Current();
    for (long long left; (left = deadline - NowMs()) > 0;) loop.RunOnce(static_cast<int>(left));
}

} // namespace testsupport
