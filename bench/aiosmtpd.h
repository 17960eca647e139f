// python3-aiosmtpd as the benchmarks' peer, on a loopback port of its own, stopped when the
// object goes: its Sink handler for acceptance, its Proxy handler for relaying.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// True once something accepts connections on 127.0.0.1:port (10 s at most).
bool WaitForPort(int port);
// True once `done` is, polled every 2 ms; false after `seconds`.
bool WaitFor(const std::function<bool()>& done, int seconds);
// SIGTERM to a child and a wait for it; `pid` becomes -1.
void StopChild(pid_t& pid);
// In a child just forked by `parent`: the child is killed when the parent ends, so that a
// benchmark stopped early (Ctrl+C, a closed output pipe) leaves no peer running.
void DieWithParent(pid_t parent);

class Aiosmtpd {
  public:
    // `handler` is aiosmtpd's -c argument list, e.g. {"aiosmtpd.handlers.Sink"} or
    // {"aiosmtpd.handlers.Proxy", "127.0.0.1", "2525"}.
    Aiosmtpd(int port, const std::vector<std::string>& handler);
    ~Aiosmtpd();
    bool Ok() const { return ok_; }

  private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

} // namespace bench
