// RelayMessage of a 1 KB message to a local sink, sequentially and from 8 threads, with
// msmtp (one process per message) measured beside it against the same sink.
//
//   bench_relay_client [messages]
#include "bench/smtp_load.h"
#include "bench/upstream_sink.h"
#include "smtpclient/smtpsender.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> MessageLines() {
    std::vector<std::string> lines;
    std::string body = bench::MakeBody(1024);
    for (size_t pos = 0; pos < body.size();) {
        size_t eol = body.find("\r\n", pos);
        lines.push_back(body.substr(pos, eol - pos));
        pos = eol + 2;
    }
    return lines;
}

bool RunMsmtp(int port, const std::string& message) {
    std::string portArg = "--port=" + std::to_string(port);
    const char* argv[] = {"msmtp",      "--host=127.0.0.1", portArg.c_str(),
                          "--auth=off", "--tls=off",        "--from=bench@corp.example",
                          "--",         "sink@example.net", nullptr};
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false; // no other child may hold our stdin open
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "msmtp", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    if (rc != 0) {
        close(in[1]);
        return false;
    }
    [[maybe_unused]] ssize_t n = write(in[1], message.data(), message.size());
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Run(int threads, int messages, const std::function<bool()>& sendOne, int& failures) {
    std::atomic<int> failed{0};
    auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (int i = 0; i < messages / threads; ++i)
                if (!sendOne()) ++failed;
        });
    for (auto& t : pool) t.join();
    failures = failed;
    return (messages / threads * threads) /
           std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    int messages = argc > 1 ? std::atoi(argv[1]) : 2000;
    int port = bench::FreeLoopbackPort();
    bench::UpstreamSink sink(port);
    if (!sink.Ok()) {
        std::printf("could not start the sink on port %d\n", port);
        return 1;
    }
    std::vector<std::string> lines = MessageLines();
    smtpclient::TRelayOptions options;
    options.SystemName = "bench";
    std::string hostAndPort = "127.0.0.1:" + std::to_string(port);
    auto relay = [&] {
        return smtpclient::RelayMessage(options, "bench@corp.example", "sink@example.net",
                                        hostAndPort, lines, "", "");
    };
    int failures = 0;
    double sequential = Run(1, messages, relay, failures);
    std::printf("RelayMessage  threads=1  %8.1f msgs/s  failures %d\n", sequential, failures);
    double parallel = Run(8, messages, relay, failures);
    std::printf("RelayMessage  threads=8  %8.1f msgs/s  failures %d\n", parallel, failures);
    std::string message;
    for (const auto& l : lines) message += l + "\n";
    int msmtpMessages = std::max(messages / 10, 50);
    double msmtpSequential = Run(
        1, msmtpMessages, [&] { return RunMsmtp(port, message); }, failures);
    std::printf("msmtp         threads=1  %8.1f msgs/s  failures %d  (includes one process start "
                "per message)\n",
                msmtpSequential, failures);
    double msmtpParallel = Run(
        8, msmtpMessages, [&] { return RunMsmtp(port, message); }, failures);
    std::printf("msmtp         threads=8  %8.1f msgs/s  failures %d  (includes one process start "
                "per message)\n",
                msmtpParallel, failures);
    std::printf("sequential RelayMessage (in-process call) / msmtp (a process per message) = "
                "%.1f (target >= 3)\n",
                sequential / msmtpSequential);
    std::printf("sink stored %ld messages, %zu bytes\n", sink.Stored(), sink.StoredBytes());
    return 0;
}
