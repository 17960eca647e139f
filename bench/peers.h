// The processes a benchmark measures: python3-aiosmtpd as the peer (its Sink handler for
// acceptance, its Proxy handler for relaying) and the shipped vantrosmtp program, each on a
// loopback port of its own, stopped when the object goes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// True once something accepts connections on 127.0.0.1:port (10 s at most).
bool WaitForPort(int port);

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

// The program, copied into a folder of its own with settings that relay to `upstreamPort`,
// started offscreen with its server on 127.0.0.1:`port` and standard error to /dev/null.
class Program {
  public:
    // `descriptorLimit` > 0 lowers the program's RLIMIT_NOFILE, as `ulimit -n` would.
    Program(const std::string& executable, int port, int upstreamPort, long descriptorLimit = 0);
    ~Program();
    bool Ok() const { return ok_; }
    pid_t Pid() const { return pid_; }
    // User + system CPU seconds of the process so far.
    double CpuSeconds() const;
    // Peak resident set size (VmHWM) in kilobytes.
    long PeakKilobytes() const;
    // Lines in a result list the program wrote at its exit (after Stop).
    size_t ListLines(const char* name) const;
    void Stop();

  private:
    std::string dir_;
    pid_t pid_ = -1;
    bool ok_ = false;
};

} // namespace bench
