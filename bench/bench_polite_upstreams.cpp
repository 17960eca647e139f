// The shipped program against upstreams that refuse politely, as real servers do, with its
// default settings: python3-aiosmtpd (the suite's upstream script) capping its sessions at six
// (a 421 beyond, as exim past smtp_accept_max), greylisting every new sender and recipient
// pair for 8 s (451 at RCPT), and greeting with 421 for its first 10 s (a restart). For each:
// how many of the accepted messages arrived, how long after the last "250 OK " the last one
// did, and the failure lines the program wrote. The three run side by side (each its own
// program and upstream), about as long as the slowest.
//
//   bench_polite_upstreams [path-to-vantrosmtp]
#include "bench/peers.h"
#include "bench/smtp_load.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Scenario {
    const char* name;
    std::vector<std::string> upstreamArguments;
    int clients, each;
    std::unique_ptr<bench::ScriptUpstream> upstream;
    std::unique_ptr<bench::Program> vantro;
    int port = 0;
    std::string report;
};

// Started one after the other: the ports they take are free only a moment ago.
bool Start(const std::string& program, Scenario& scenario) {
    int upstreamPort = bench::FreeLoopbackPort();
    scenario.upstream =
        std::make_unique<bench::ScriptUpstream>(upstreamPort, scenario.upstreamArguments);
    scenario.port = bench::FreeLoopbackPort();
    scenario.vantro = std::make_unique<bench::Program>(program, scenario.port, upstreamPort);
    return scenario.upstream->Ok() && scenario.vantro->Ok();
}

void Run(Scenario& scenario) {
    bench::LoadResult load =
        bench::RunSmtpLoad(scenario.port, scenario.clients, scenario.each, 1024);
    auto lastAccepted = Clock::now();
    // Two minutes is the target; five are waited for, to tell late from never.
    bench::WaitFor([&] { return scenario.upstream->Stored() >= load.messages; }, 300);
    double after = std::chrono::duration<double>(Clock::now() - lastAccepted).count();
    long stored = scenario.upstream->Stored();
    scenario.vantro->Stop();
    char text[512];
    std::snprintf(text, sizeof(text),
                  "%s: %d accepted (%d refused), %ld delivered, the last %.1f s after the last "
                  "\"250 OK \" (target: all within 120 s), %zu failure lines, %zu success lines, "
                  "%zu left in the spool",
                  scenario.name, load.messages, load.failures, stored, after,
                  scenario.vantro->ListLines("bad.ini"), scenario.vantro->ListLines("good.ini"),
                  scenario.vantro->SpooledMessages());
    scenario.report = text;
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    Scenario scenarios[] = {
        {"session cap of 6, 32 clients x 10", {"--max-sessions", "6"}, 32, 10, {}, {}, 0, {}},
        {"greylisting for 8 s, 20 messages", {"--greylist", "8"}, 1, 20, {}, {}, 0, {}},
        {"421 greeting for the first 10 s, 20 messages",
         {"--down-for", "10"},
         1,
         20,
         {},
         {},
         0,
         {}},
    };
    for (Scenario& scenario : scenarios) {
        if (!Start(program, scenario)) {
            std::printf("%s: could not start the peer or the program\n", scenario.name);
            return 1;
        }
    }
    std::vector<std::thread> running;
    for (Scenario& scenario : scenarios) running.emplace_back([&scenario] { Run(scenario); });
    for (std::thread& thread : running) thread.join();
    for (const Scenario& scenario : scenarios) std::printf("%s\n", scenario.report.c_str());
    return 0;
}
