// OAuth 2.0 sign-in and tokens in the shipped program, against the suite's local provider
// (tests/support/oauth_provider.py) and an aiosmtpd upstream that takes only the provider's
// current tokens (implicit TLS, AUTH required, three messages a session, as a provider's cap
// would have it, so that new sessions keep needing a token):
//   1. `vantrosmtp --sign-in` headless: from the printed address (a browser, played by
//      python3's urllib, fetching it) to the program's exit, median of 5;
//   2. 32 clients x 10 messages, one message from each client every `pace` seconds, through
//      the signed-in account whose access tokens live 30 s: delivered, failure lines, and the
//      token requests beside the run's length (target: <= length / 25 s + 2).
//
//   bench_oauth [path-to-vantrosmtp] [pace-seconds]
#include "bench/peers.h"
#include "bench/smtp_load.h"
#include "platform/ini_profile.h"
#include "platform/text_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void WriteProvider(const std::string& settings, int providerPort) {
    std::string base = "http://127.0.0.1:" + std::to_string(providerPort);
    platform::IniProfile(settings, "oauth2").WriteString("bench@corp.example", "local");
    platform::IniProfile(settings, "provider local")
        .WriteStrings({{"authurl", base + "/auth"},
                       {"tokenurl", base + "/token"},
                       {"clientid", "vantro-test-client"},
                       {"scope", "smtp"}});
}

// One headless sign-in in `folder`: seconds from the printed address to the exit, or -1.
double TimeSignIn(const std::string& program, const std::string& folder, int providerPort) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(program, folder + "/vantrosmtp");
    WriteProvider(folder + "/brontalnow.ini", providerPort);
    std::string command = "env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY -u "
                          "XDG_RUNTIME_DIR " +
                          folder + "/vantrosmtp --sign-in bench@corp.example 2>/dev/null";
    FILE* signIn = popen(command.c_str(), "r");
    if (!signIn) return -1;
    char line[4096] = {};
    if (!fgets(line, sizeof(line), signIn)) {
        pclose(signIn);
        return -1;
    }
    std::string address(line);
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
        address.pop_back();
    auto start = Clock::now();
    std::string browse = "/usr/bin/python3 -c 'import sys, urllib.request; "
                         "urllib.request.urlopen(sys.argv[1], timeout=20).read()' '" +
                         address + "'";
    int browsed = std::system(browse.c_str());
    int status = pclose(signIn);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    bool kept = platform::FileExists(folder + "/oauth2-tokens");
    return browsed == 0 && status == 0 && kept ? seconds : -1;
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    double pace = argc > 2 ? std::atof(argv[2]) : 7.0;
    const int clients = 32, each = 10;
    std::string folder = (std::filesystem::temp_directory_path() /
                          ("vantro-oauth-bench-" + std::to_string(getpid())))
                             .string();
    std::filesystem::create_directories(folder);
    int providerPort = bench::FreeLoopbackPort();
    bench::ScriptUpstream provider(
        providerPort,
        {"--user", "bench@corp.example", "--lifetime", "30", "--refresh-token", "rt-bench"},
        "oauth_provider.py");
    std::string certificate = bench::MakeCertificate(folder);
    int upstreamPort = bench::FreeLoopbackPort();
    bench::ScriptUpstream upstream(upstreamPort, {"--implicit", certificate, "--token-file",
                                                  provider.Store() + "/current-tokens",
                                                  "--auth-required", "--session-messages", "3"});
    if (!provider.Ok() || !upstream.Ok() || certificate.empty()) {
        std::printf("could not start the provider or the upstream\n");
        return 1;
    }

    std::vector<double> signIns;
    for (int run = 0; run < 5; ++run)
        signIns.push_back(TimeSignIn(program, folder + "/sign-in", providerPort));
    std::sort(signIns.begin(), signIns.end());
    std::printf("headless sign-in, printed address to exit: median %.3f s (runs %.3f .. %.3f; "
                "-1 a failed one; target < 2 s)\n",
                signIns[2], signIns.front(), signIns.back());

    int port = bench::FreeLoopbackPort();
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1); // no keyring: the program's token file
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    auto configure = [&](const std::string& settings) {
        platform::IniProfile(settings, "smtpconfig")
            .WriteStrings(
                {{"user", "bench@corp.example"}, {"ssl", "1"}, {"auth", "1"}, {"verifycert", "0"}});
        WriteProvider(settings, providerPort);
        std::string dir = std::filesystem::path(settings).parent_path().string();
        platform::WriteFileAtomically(dir + "/oauth2-tokens", "bench@corp.example=rt-bench\n",
                                      0600);
    };
    bench::Program vantro(program, port, upstreamPort, 0, configure);
    if (!vantro.Ok()) {
        std::printf("the program did not start\n");
        return 1;
    }
    int refreshesBefore = provider.Count("refreshes");
    auto start = Clock::now();
    long sent = 0;
    for (int round = 0; round < each; ++round) {
        auto roundStart = Clock::now();
        sent += bench::RunSmtpLoad(port, clients, 1, 1024).messages;
        if (round + 1 < each)
            std::this_thread::sleep_until(roundStart + std::chrono::duration<double>(pace));
    }
    while (upstream.Stored() < sent && Clock::now() - start < std::chrono::minutes(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    vantro.Stop();
    int requests = provider.Count("refreshes") - refreshesBefore;
    std::printf("%d clients x %d messages (one each every %.1f s), 30 s tokens: %ld of %ld "
                "delivered in %.1f s over %zu upstream sessions, %zu failure lines; %d token "
                "requests (target <= %.1f)\n",
                clients, each, pace, upstream.Stored(), sent, seconds, upstream.Sessions(),
                vantro.ListLines("bad.ini"), requests, seconds / 25 + 2);
    std::filesystem::remove_all(folder);
    bool met = upstream.Stored() == clients * each && vantro.ListLines("bad.ini") == 0 &&
               requests <= seconds / 25 + 2 && signIns[2] >= 0 && signIns[2] < 2;
    return met ? 0 : 1;
}
