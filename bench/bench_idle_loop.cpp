// CPU time of a message loop that holds an idle listener and an idle connection: a loop
// that spins shows up here as CPU seconds close to the wall time.
#include "asyncsock/async_socket_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 2;
    asyncsock::TAsyncSocketServer server;
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.Listen();
    int port = std::atoi(server.GetXPort().c_str());
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(client, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0) return 1;
    platform::MessageLoop& loop = platform::MessageLoop::Current();
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until) loop.RunOnce(10); // accept, banner
    long passes = 0;
    double cpuBefore = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        loop.RunOnce(static_cast<int>(left.count()) + 1);
        ++passes;
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = CpuSeconds() - cpuBefore;
    std::printf("idle loop: clients=%d wall=%.3f s cpu=%.6f s (%.4f%%) passes=%ld\n",
                server.ClientCount(), wall, cpu, 100.0 * cpu / wall, passes);
    ::close(client);
    return 0;
}
