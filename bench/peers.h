// The shipped vantrosmtp program as a benchmark runs it, beside the aiosmtpd peer.
#pragma once

#include "bench/aiosmtpd.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

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
    // Starts the peak afresh from the present resident size; false when the system refuses.
    bool ResetPeak() const;
    // Lines in a result list the program wrote at its exit (after Stop).
    size_t ListLines(const char* name) const;
    // SIGTERM and a wait: the program saves and ends.
    void Stop();
    // kill -9 and a wait: nothing is saved.
    void Kill();
    // Starts it again in the same folder (after Stop or Kill); false when it never listened.
    bool Restart();

  private:
    bool Launch();

    std::string dir_;
    int port_ = 0;
    long descriptorLimit_ = 0;
    pid_t pid_ = -1;
    bool ok_ = false;
};

} // namespace bench
