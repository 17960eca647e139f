// The sendmail command beside msmtp: each submits the same 1 KB message to the running
// shipped program, one process start per message, alternately, so that both see the same
// machine and the same relay; the relay sends everything on to a local sink. Reports the
// median start-to-exit time of each, their ratio, the command's peak resident memory, and
// whether every message reached the sink. Then cron's call, "vantrosmtp-sendmail root" with
// "root: me@corp.example" in the aliases, against msmtp to that address; and one 50 MB
// message's peak resident memory.
//
//   bench_sendmail [path-to-vantrosmtp] [path-to-vantrosmtp-sendmail] [messages-each]
#include "bench/peers.h"
#include "bench/smtp_load.h"
#include "bench/upstream_sink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Run {
    double ms = 0;
    long peakKilobytes = 0;
    bool ok = false;
};

// One process with `input` on its standard input: its time from start to exit and its peak.
Run RunWithInput(const std::vector<std::string>& argv, const std::string& input) {
    int in[2];
    if (pipe(in) != 0) return {};
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    ssize_t written = write(in[1], input.data(), input.size());
    close(in[1]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Run run;
    run.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.peakKilobytes = usage.ru_maxrss;
    run.ok = written == static_cast<ssize_t>(input.size()) && WIFEXITED(status) &&
             WEXITSTATUS(status) == 0;
    return run;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    std::string command = argc > 2 ? argv[2] : VANTRO_SENDMAIL;
    int each = argc > 3 ? std::atoi(argv[3]) : 1000;
    int sinkPort = bench::FreeLoopbackPort(), port = bench::FreeLoopbackPort();
    bench::UpstreamSink sink(sinkPort);
    bench::Program vantro(program, port, sinkPort);
    if (!sink.Ok() || !vantro.Ok()) {
        std::printf("could not start the sink or the program\n");
        return 1;
    }
    setenv("VANTRO_TEST_PORT", std::to_string(port).c_str(), 1);
    std::string message = "Subject: bench\n\n" + bench::MakeBody(1024);
    std::vector<std::string> ours = {command, "-f", "bench@corp.example", "to@example.net"};
    std::vector<std::string> msmtp = {"/usr/bin/msmtp",
                                      "--host=127.0.0.1",
                                      "--port=" + std::to_string(port),
                                      "--from=bench@corp.example",
                                      "--",
                                      "to@example.net"};
    std::vector<double> ourTimes, msmtpTimes, rootTimes, msmtpRootTimes;
    long peak = 0;
    int failed = 0;
    for (int i = 0; i < each; ++i) {
        Run a = RunWithInput(ours, message);
        Run b = RunWithInput(msmtp, message);
        ourTimes.push_back(a.ms);
        msmtpTimes.push_back(b.ms);
        peak = std::max(peak, a.peakKilobytes);
        failed += !a.ok + !b.ok;
    }
    // cron's call: the system's aliases give root its address (the bench's own file, not the
    // machine's).
    std::string aliases = "/tmp/bench-sendmail-aliases-" + std::to_string(getpid());
    if (FILE* file = std::fopen(aliases.c_str(), "w")) {
        std::fputs("root: me@corp.example\n", file);
        std::fclose(file);
    }
    setenv("VANTRO_TEST_SYSTEM_ALIASES", aliases.c_str(), 1);
    std::vector<std::string> root = {command, "root"};
    std::vector<std::string> msmtpRoot = msmtp;
    msmtpRoot.back() = "me@corp.example";
    int rootEach = std::max(1, each / 4);
    for (int i = 0; i < rootEach; ++i) {
        Run a = RunWithInput(root, message);
        Run b = RunWithInput(msmtpRoot, message);
        rootTimes.push_back(a.ms);
        msmtpRootTimes.push_back(b.ms);
        failed += !a.ok + !b.ok;
    }
    std::remove(aliases.c_str());
    std::string large = "Subject: large\n\n";
    while (large.size() < 50u * 1024 * 1024) large += std::string(998, 'x') + "\n";
    Run big = RunWithInput(ours, large);
    failed += !big.ok;
    long expected = 2L * each + 2L * rootEach + 1;
    auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (sink.Stored() < expected && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    double ourMedian = Median(ourTimes), msmtpMedian = Median(msmtpTimes);
    std::printf("sendmail command vs msmtp, %d messages each, one process per message: median "
                "%.2f ms vs %.2f ms (ratio %.2f; target <= 1.5); the command's peak RSS %.1f MB "
                "(target < 5 MB for 1 KB); %d non-zero exits; %ld of %ld delivered to the sink\n",
                each, ourMedian, msmtpMedian, ourMedian / msmtpMedian, peak / 1024.0, failed,
                sink.Stored(), expected);
    double rootMedian = Median(rootTimes), msmtpRootMedian = Median(msmtpRootTimes);
    std::printf("cron's call, \"root\" through its alias vs msmtp to the address, %d each: median "
                "%.2f ms vs %.2f ms (ratio %.2f; target <= 1.5)\n",
                rootEach, rootMedian, msmtpRootMedian, rootMedian / msmtpRootMedian);
    std::printf("a 50 MB message through the command: %s, peak RSS %.1f MB (target <= 58 MB)\n",
                big.ok ? "handed to the relay" : "failed", big.peakKilobytes / 1024.0);
    return sink.Stored() == expected && failed == 0 ? 0 : 1;
}
