// The shipped program against an upstream far away: the suite's aiosmtpd upstream (offering
// PIPELINING), and the benchmarks' own sink offering PIPELINING and CHUNKING, each behind a
// loopback proxy that delays each direction by half a round trip and each connect by a whole
// one. It prints, for 50 and 200 ms round trips:
// - the round trips a message costs on a kept session, and those a new session costs before
//   its first MAIL (plain, and implicit TLS with a resumed session), counted at the proxy;
// - messages per second end to end for 8 clients x 25 and 1 client x 50 (1 KB), beside the
//   bound the round trips set (sessions / (round trip x round trips per message)).
//
//   bench_far_upstream [path-to-vantrosmtp]
#include "bench/delay_proxy.h"
#include "bench/peers.h"
#include "bench/smtp_load.h"
#include "bench/upstream_sink.h"
#include "platform/ini_profile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A self-signed certificate and key for the upstream's implicit TLS ("cert,key").
std::string MakeCertificate() {
    std::string dir =
        (std::filesystem::temp_directory_path() / ("vantro-far-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(dir);
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + dir +
                          "/key.pem -out " + dir +
                          "/cert.pem -days 2 -subj /CN=127.0.0.1 > /dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return std::string();
    return dir + "/cert.pem," + dir + "/key.pem";
}

struct Far {
    std::unique_ptr<bench::ScriptUpstream> upstream;
    std::unique_ptr<bench::UpstreamSink> sink; // instead of `upstream`, offering CHUNKING too
    std::unique_ptr<bench::DelayProxy> proxy;
    std::unique_ptr<bench::Program> vantro;
    int port = 0;
    bool Ok() const { return (sink ? sink->Ok() : upstream->Ok()) && vantro->Ok(); }
    long Stored() const { return sink ? sink->Stored() : upstream->Stored(); }
    ~Far() {
        vantro.reset(); // its connections end first, then the proxy's threads
        proxy.reset();
    }
};

// `maxSessions` 1 puts every message over one session, so that its round trips can be told
// apart; 0 keeps the default. `chunking`: the sink (plain only) instead of aiosmtpd.
std::unique_ptr<Far> Start(const std::string& program, milliseconds roundTrip,
                           const std::string& certificate, int maxSessions = 0,
                           bool chunking = false) {
    auto far = std::make_unique<Far>();
    int upstreamPort = bench::FreeLoopbackPort();
    std::vector<std::string> arguments = {"--pipelining"};
    if (!certificate.empty()) arguments.insert(arguments.end(), {"--implicit", certificate});
    if (chunking)
        far->sink = std::make_unique<bench::UpstreamSink>(upstreamPort, nullptr, true);
    else
        far->upstream = std::make_unique<bench::ScriptUpstream>(upstreamPort, arguments);
    far->proxy = std::make_unique<bench::DelayProxy>(upstreamPort, roundTrip);
    far->port = bench::FreeLoopbackPort();
    bool tls = !certificate.empty();
    far->vantro = std::make_unique<bench::Program>(
        program, far->port, far->proxy->Port(), 0, [tls, maxSessions](const std::string& path) {
            platform::IniProfile ini(path, "smtpconfig");
            ini.WriteStrings({{"ssl", tls ? "1" : "0"}, {"verifycert", "0"}});
            if (maxSessions > 0) ini.WriteStrings({{"maxsessions", std::to_string(maxSessions)}});
        });
    return far;
}

// Sends `count` messages over one client session and waits until the upstream has them (and
// a round trip more, for the proxy to count the last reply).
void SendAndWait(Far& far, int count, milliseconds roundTrip) {
    long before = far.Stored();
    bench::RunSmtpLoad(far.port, 1, count, 1024);
    bench::WaitFor([&] { return far.Stored() >= before + count; }, 120);
    std::this_thread::sleep_for(roundTrip * 2);
}

// The connection whose round trips grew the most between two counts, and by how many.
long Grown(const std::map<int, long>& before, const std::map<int, long>& after) {
    long most = 0;
    for (const auto& [port, trips] : after) {
        auto found = before.find(port);
        most = std::max(most, trips - (found == before.end() ? 0 : found->second));
    }
    return most;
}

void CountRoundTrips(const std::string& program, milliseconds roundTrip,
                     const std::string& certificate, bool chunking = false) {
    const char* kind = chunking              ? "plain with CHUNKING"
                       : certificate.empty() ? "plain"
                                             : "implicit TLS";
    auto far = Start(program, roundTrip, certificate, 1, chunking);
    if (!far->Ok()) {
        std::printf("%s: could not start the peer or the program\n", kind);
        return;
    }
    SendAndWait(*far, 1, roundTrip); // the first session: a full TLS handshake
    // Its session is closed after 2 s idle; the next message opens one that resumes TLS.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    auto idle = far->proxy->RoundTripsByUpstreamPort();
    SendAndWait(*far, 1, roundTrip);
    auto opened = far->proxy->RoundTripsByUpstreamPort();
    long newSession = Grown(idle, opened); // its opening and one message
    SendAndWait(*far, 10, roundTrip);      // over the kept session
    long tenMore = Grown(opened, far->proxy->RoundTripsByUpstreamPort());
    double perMessage = tenMore / 10.0;
    std::printf("%s, %lld ms away: %.1f round trips per message on a kept session (target %d); a "
                "new session%s: %.1f before its first MAIL, the connect included (target <= 5 "
                "for implicit TLS)\n",
                kind, static_cast<long long>(roundTrip.count()), perMessage, chunking ? 1 : 2,
                certificate.empty() ? "" : " resuming its TLS session", newSession - perMessage);
}

void Throughput(const std::string& program, milliseconds roundTrip, int clients, int each,
                bool chunking = false) {
    auto far = Start(program, roundTrip, std::string(), 0, chunking);
    if (!far->Ok()) {
        std::printf("throughput: could not start the peer or the program\n");
        return;
    }
    auto start = Clock::now();
    bench::LoadResult load = bench::RunSmtpLoad(far->port, clients, each, 1024);
    bench::WaitFor([&] { return far->Stored() >= load.messages; }, 300);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long trips = far->proxy->RoundTrips();
    long sessions = far->proxy->Connections();
    double rate = load.messages / seconds;
    double perMessage = load.messages > 0 ? double(trips) / load.messages : 0;
    // One client's messages too go out side by side: each is handed to the relay's workers
    // once accepted.
    int tripsEach = chunking ? 1 : 2;
    double bound = 10 / (roundTrip.count() / 1000.0) / tripsEach;
    std::printf("%d clients x %d, %lld ms away%s: %d delivered (%d refused) in %.2f s, %.1f "
                "msgs/s end to end; %ld sessions, %.2f round trips per message in all; the bound "
                "(maxsessions / (round trip x %d)): %.1f msgs/s\n",
                clients, each, static_cast<long long>(roundTrip.count()),
                chunking ? ", CHUNKING" : "", static_cast<int>(far->Stored()), load.failures,
                seconds, rate, sessions, perMessage, tripsEach, bound);
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string certificate = MakeCertificate();
    for (long rtt : {50L, 200L}) {
        CountRoundTrips(program, milliseconds(rtt), std::string());
        if (!certificate.empty()) CountRoundTrips(program, milliseconds(rtt), certificate);
        Throughput(program, milliseconds(rtt), 8, 25);
        Throughput(program, milliseconds(rtt), 1, 50);
        CountRoundTrips(program, milliseconds(rtt), std::string(), true);
        Throughput(program, milliseconds(rtt), 8, 25, true);
        Throughput(program, milliseconds(rtt), 1, 50, true);
    }
    return 0;
}
