// What a token command costs: the shipped program relays 32 clients' messages through an
// account whose OAuth 2.0 access token a command prints after 50 ms, to the suite's aiosmtpd
// upstream over implicit TLS (XOAUTH2 and OAUTHBEARER offered, AUTH required). Counts the
// command's runs beside the upstream sessions and the messages: the command runs once per
// session, not once per message.
//
//   bench_token_command [path-to-vantrosmtp] [clients] [messages-each]
#include "bench/peers.h"
#include "bench/smtp_load.h"
#include "platform/ini_profile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

long LinesIn(const std::string& path) {
    std::ifstream in(path);
    long lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    int clients = argc > 2 ? std::atoi(argv[2]) : 32;
    int each = argc > 3 ? std::atoi(argv[3]) : 10;
    std::string folder = (std::filesystem::temp_directory_path() /
                          ("vantro-token-bench-" + std::to_string(getpid())))
                             .string();
    std::filesystem::create_directories(folder);
    std::string certificate = bench::MakeCertificate(folder);
    std::string runs = folder + "/runs";
    int upstreamPort = bench::FreeLoopbackPort();
    bench::ScriptUpstream upstream(upstreamPort,
                                   {"--implicit", certificate, "--token",
                                    "bench@corp.example:tok-0123456789", "--auth-required"});
    int port = bench::FreeLoopbackPort();
    auto configure = [&](const std::string& settings) {
        platform::IniProfile config(settings, "smtpconfig");
        config.WriteStrings(
            {{"user", "bench@corp.example"}, {"ssl", "1"}, {"auth", "1"}, {"verifycert", "0"}});
        platform::IniProfile(settings, "tokencommand")
            .WriteString("bench@corp.example",
                         "sleep 0.05; echo run >> " + runs + "; echo tok-0123456789");
    };
    bench::Program vantro(program, port, upstreamPort, 0, configure);
    if (certificate.empty() || !upstream.Ok() || !vantro.Ok()) {
        std::printf("could not start the upstream or the program\n");
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    bench::LoadResult load = bench::RunSmtpLoad(port, clients, each, 1024);
    while (upstream.Stored() < load.messages &&
           std::chrono::steady_clock::now() - start < std::chrono::minutes(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    vantro.Stop();
    std::printf("token command (50 ms), %d clients x %d messages, implicit TLS: %ld of %d "
                "delivered in %.1f s (%zu failure lines); %ld command runs for %zu upstream "
                "sessions (target: runs <= sessions, not one per message)\n",
                clients, each, upstream.Stored(), load.messages, seconds,
                vantro.ListLines("bad.ini"), LinesIn(runs), upstream.Sessions());
    std::filesystem::remove_all(folder);
    return upstream.Stored() == load.messages ? 0 : 1;
}
