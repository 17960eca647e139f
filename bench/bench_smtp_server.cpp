// Messages per second and the 99th percentile time from the final "." to "250 OK " through
// the inbound server, for 1 and 32 concurrent clients and command delays of 3 and 0 ms, with
// Debian's python3-aiosmtpd measured beside it under the same load.
//
//   bench_smtp_server [messages-per-client-at-N=1] [messages-per-client-at-N=32]
#include "bench/aiosmtpd.h"
#include "bench/floor_server.h"
#include "bench/sink_server.h"
#include "bench/smtp_load.h"
#include "smtpserver/smtp_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

void Report(const char* who, int clients, int delay, const bench::LoadResult& r) {
    std::printf(
        "%-9s N=%-3d delay=%-2d  %6d msgs  %8.1f msgs/s  p99 %7.2f ms  p50 %6.2f ms  failures %d\n",
        who, clients, delay, r.messages, r.Rate(), r.Percentile(99), r.Percentile(50), r.failures);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int perClientSingle = argc > 1 ? std::atoi(argv[1]) : 300;
    int perClientMany = argc > 2 ? std::atoi(argv[2]) : 60;
    const int kBytes = 1024;
    double rate[2][2] = {}; // [delay 3|0][N 1|32]
    for (int d = 0; d < 2; ++d) {
        uint8_t delay = d == 0 ? 3 : 0;
        for (int n = 0; n < 2; ++n) {
            int clients = n == 0 ? 1 : 32;
            int port = bench::FreeLoopbackPort();
            bench::SinkServer server(port, delay);
            bench::LoadResult r =
                bench::RunSmtpLoad(port, clients, n == 0 ? perClientSingle : perClientMany, kBytes);
            Report("vantro", clients, delay, r);
            rate[d][n] = r.Rate();
        }
    }
    double aioRate[2] = {};
    for (int n = 0; n < 2; ++n) {
        int clients = n == 0 ? 1 : 32;
        int port = bench::FreeLoopbackPort();
        bench::Aiosmtpd aio(port, {"aiosmtpd.handlers.Sink"});
        if (!aio.Ok()) {
            std::printf("aiosmtpd could not be started (python3-aiosmtpd installed?)\n");
            break;
        }
        bench::LoadResult r =
            bench::RunSmtpLoad(port, clients, n == 0 ? perClientSingle : perClientMany, kBytes);
        Report("aiosmtpd", clients, 0, r);
        aioRate[n] = r.Rate();
    }
    double floorRate = 0;
    {
        bench::FloorServer floorServer;
        bench::LoadResult r = bench::RunSmtpLoad(floorServer.Port(), 1, perClientSingle, kBytes);
        Report("floor", 1, 0, r);
        floorRate = r.Rate();
    }
    if (aioRate[0] > 0)
        std::printf("floor (a blocking server with fixed replies) / aiosmtpd at N=1 = %.1f: the "
                    "most any server reaches "
                    "with this client\n",
                    floorRate / aioRate[0]);
    std::printf("delay 3: N=32 rate / N=1 rate = %.1f (target >= 20)\n", rate[0][1] / rate[0][0]);
    for (int n = 0; n < 2; ++n)
        if (aioRate[n] > 0)
            std::printf("delay 0, N=%d: vantro / aiosmtpd = %.1f (target >= 3)\n", n == 0 ? 1 : 32,
                        rate[1][n] / aioRate[n]);
    return 0;
}
