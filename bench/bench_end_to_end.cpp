// End to end: clients -> the vantrosmtp program (offscreen) -> a local sink. Messages per
// second with 1 and 8 concurrent clients (until the sink holds them all), and the program's
// peak resident memory after relaying one 20 MB message.
//
//   bench_end_to_end [path-to-vantrosmtp] [messages]
#include "app/account_editor.h"
#include "bench/sink_server.h"
#include "bench/smtp_load.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

long PeakKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    auto until = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    int messages = argc > 2 ? std::atoi(argv[2]) : 400;
    int sinkPort = bench::FreeLoopbackPort();
    int relayPort = bench::FreeLoopbackPort();
    bench::SinkServer sink(sinkPort);

    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("e2e-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(program, dir / "vantrosmtp");
    app::Account account;
    account.mailbox = "bench@corp.example";
    account.host = "127.0.0.1";
    account.port = std::to_string(sinkPort);
    app::WriteSettings((dir / "brontalnow.ini").string(), account);

    std::string portEnv = "VANTRO_TEST_PORT=" + std::to_string(relayPort);
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", portEnv};
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = (dir / "vantrosmtp").string();
    char* args[] = {exe.data(), nullptr};
    pid_t pid = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, args, envp.data()) != 0) {
        std::printf("cannot start %s\n", exe.c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));

    for (int clients : {1, 8}) {
        long before = sink.Stored();
        auto start = Clock::now();
        bench::LoadResult load = bench::RunSmtpLoad(relayPort, clients, messages / clients, 1024);
        bool all = WaitFor([&] { return sink.Stored() >= before + load.messages; }, 120);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("end to end  clients=%d  %5d msgs  %8.1f msgs/s  (submission p99 %.2f ms, "
                    "failures %d%s)\n",
                    clients, load.messages, load.messages / seconds, load.Percentile(99),
                    load.failures, all ? "" : ", sink incomplete");
    }
    long idle = PeakKilobytes(pid);
    long before = sink.Stored();
    bench::LoadResult big = bench::RunSmtpLoad(relayPort, 1, 1, 20 * 1024 * 1024);
    bool arrived = WaitFor([&] { return sink.Stored() > before; }, 120);
    long peak = PeakKilobytes(pid);
    std::printf("20 MB message: %s; peak resident %.1f MB (%.1f MB before it); target <= %.1f MB\n",
                arrived && big.failures == 0 ? "relayed" : "NOT relayed", peak / 1024.0,
                idle / 1024.0, 3 * 20.0 + 40.0);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir);
    return 0;
}
