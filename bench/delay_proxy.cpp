#include "bench/delay_proxy.h"

#include "bench/smtp_load.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// One direction of a connection: what was read, due to be written half a round trip later.
struct Pipe {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::pair<Clock::time_point, std::string>> queue;
    bool closed = false;
};

void Read(int from, Pipe& pipe, std::chrono::milliseconds delay,
          const std::function<void()>& read) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(from, buffer, sizeof(buffer), 0);
        std::lock_guard<std::mutex> lock(pipe.mutex);
        if (n <= 0) {
            pipe.closed = true;
            pipe.ready.notify_all();
            return;
        }
        read();
        pipe.queue.emplace_back(Clock::now() + delay, std::string(buffer, size_t(n)));
        pipe.ready.notify_all();
    }
}

void Write(int to, Pipe& pipe) {
    for (;;) {
        std::unique_lock<std::mutex> lock(pipe.mutex);
        pipe.ready.wait(lock, [&] { return !pipe.queue.empty() || pipe.closed; });
        if (pipe.queue.empty()) {
            ::shutdown(to, SHUT_WR);
            return;
        }
        auto [due, bytes] = std::move(pipe.queue.front());
        pipe.queue.pop_front();
        lock.unlock();
        std::this_thread::sleep_until(due);
        for (size_t sent = 0; sent < bytes.size();) {
            ssize_t n = ::send(to, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += size_t(n);
        }
    }
}

int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

int LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

} // namespace

DelayProxy::DelayProxy(int upstreamPort, std::chrono::milliseconds roundTrip)
    : upstreamPort_(upstreamPort), roundTrip_(roundTrip) {
    listener_ = ListenOnLoopback(64, port_);
    acceptor_ = std::thread([this] { Accept(); });
}

DelayProxy::~DelayProxy() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& thread : threads_) thread.join();
}

void DelayProxy::Accept() {
    for (;;) {
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::lock_guard<std::mutex> lock(mutex_);
        threads_.emplace_back([this, client] { Serve(client); });
    }
}

std::map<int, long> DelayProxy::RoundTripsByUpstreamPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<int, long> trips;
    for (const auto& [port, count] : byPort_) trips[port] = *count;
    return trips;
}

void DelayProxy::Serve(int client) {
    // The handshake over the distance: a round trip before anything can pass.
    std::this_thread::sleep_for(roundTrip_);
    int server = ConnectLoopback(upstreamPort_);
    if (server < 0) {
        ::close(client);
        return;
    }
    auto trips = std::make_shared<std::atomic<long>>(1);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        byPort_[LocalPort(server)] = trips;
    }
    ++connections_;
    ++roundTrips_;
    // A turn: the server's bytes after the client's (the greeting is the connect's).
    std::atomic<bool> clientSpoke{false};
    auto half = roundTrip_ / 2;
    Pipe up, down;
    std::thread upReader(Read, client, std::ref(up), half,
                         std::function<void()>([&] { clientSpoke = true; }));
    std::thread downReader(Read, server, std::ref(down), half, std::function<void()>([&] {
                               if (clientSpoke.exchange(false)) {
                                   ++*trips;
                                   ++roundTrips_;
                               }
                           }));
    std::thread upWriter(Write, server, std::ref(up));
    std::thread downWriter(Write, client, std::ref(down));
    upReader.join();
    upWriter.join();
    downReader.join();
    downWriter.join();
    ::close(client);
    ::close(server);
}

} // namespace bench
