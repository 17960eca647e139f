// Nothing lost across an exit or a crash: a 2,000-message run of 8 clients through the
// shipped program to a healthy local upstream, with the program ended in the middle (at the
// 1,000th "250 OK") by SIGTERM in one run and kill -9 in the other, then started again while
// the clients retry. Counted at the upstream once everything is through: messages that got
// "250 OK " and never arrived (lost, the target is 0), and arrivals beyond the first.
//
//   bench_crash_run [path-to-vantrosmtp]
#include "bench/peers.h"
#include "bench/smtp_load.h"
#include "bench/upstream_sink.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// An upstream that counts arrivals per message number ("Subject: <n>").
class NumberSink {
  public:
    explicit NumberSink(int port)
        : sink_(port, [this](const std::string& text) {
              int number = std::atoi(text.c_str() + text.find("Subject: ") + 9);
              std::lock_guard<std::mutex> lock(mutex_);
              ++arrivals_[number];
          }) {}
    bool Ok() const { return sink_.Ok(); }
    std::map<int, int> Arrivals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }

  private:
    std::mutex mutex_;
    std::map<int, int> arrivals_;
    bench::UpstreamSink sink_; // last: it stops before what its handler uses goes
};

struct Counts {
    size_t accepted = 0, lost = 0, duplicates = 0, arrived = 0;
};

Counts Run(const char* program, bool hardKill) {
    constexpr int kTotal = 2000;
    int sinkPort = bench::FreeLoopbackPort();
    NumberSink sink(sinkPort);
    int port = bench::FreeLoopbackPort();
    bench::Program relay(program, port, sinkPort);
    if (!sink.Ok() || !relay.Ok()) return {};
    std::mutex mutex;
    std::set<int> accepted;
    std::atomic<bool> stop{false};
    std::thread load([&] {
        bench::RunNumberedLoad(
            port, 8, kTotal,
            [&](int number) {
                std::lock_guard<std::mutex> lock(mutex);
                accepted.insert(number);
            },
            stop);
    });
    auto acceptedNow = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return accepted.size();
    };
    while (acceptedNow() < kTotal / 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    hardKill ? relay.Kill() : relay.Stop();
    relay.Restart(); // the clients retry meanwhile, as mail programs do
    auto until = Clock::now() + std::chrono::seconds(120);
    while (acceptedNow() < kTotal && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    load.join();
    // Everything accepted must arrive; then a little longer for any second copy.
    auto arrivedAll = [&] {
        auto arrivals = sink.Arrivals();
        for (int number : accepted)
            if (!arrivals.count(number)) return false;
        return true;
    };
    until = Clock::now() + std::chrono::seconds(60);
    while (!arrivedAll() && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    relay.Stop();
    Counts counts;
    auto arrivals = sink.Arrivals();
    counts.accepted = accepted.size();
    for (int number : accepted) counts.lost += arrivals.count(number) ? 0 : 1;
    for (const auto& [number, times] : arrivals) {
        counts.arrived += static_cast<size_t>(times);
        counts.duplicates += static_cast<size_t>(times - 1);
    }
    return counts;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const char* program = argc > 1 ? argv[1] : VANTRO_PROGRAM;
    bool allKept = true;
    for (bool hardKill : {false, true}) {
        Counts c = Run(program, hardKill);
        std::printf("%-8s mid-run: accepted %zu, lost %zu, arrivals %zu, second arrivals %zu\n",
                    hardKill ? "kill -9" : "SIGTERM", c.accepted, c.lost, c.arrived, c.duplicates);
        allKept = allKept && c.accepted == 2000 && c.lost == 0;
    }
    std::printf("target: 0 lost of 2,000 across each  %s\n", allKept ? "met" : "MISSED");
    return allKept ? 0 : 1;
}
