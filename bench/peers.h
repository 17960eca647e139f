// The shipped vantrosmtp program as a benchmark runs it, beside the aiosmtpd peer.
#pragma once

#include "bench/aiosmtpd.h"

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// The program, copied into a folder of its own with settings that relay to `upstreamPort`,
// started offscreen with its server on 127.0.0.1:`port` and standard error to /dev/null.
class Program {
  public:
    // `descriptorLimit` > 0 lowers the program's RLIMIT_NOFILE, as `ulimit -n` would.
    // `configure`, when set, may change the settings file (its path) before the start.
    Program(const std::string& executable, int port, int upstreamPort, long descriptorLimit = 0,
            const std::function<void(const std::string& settingsPath)>& configure = {});
    ~Program();
    bool Ok() const { return ok_; }
    pid_t Pid() const { return pid_; }
    // User + system CPU seconds of the process so far.
    double CpuSeconds() const;
    // Peak resident set size (VmHWM) in kilobytes.
    long PeakKilobytes() const;
    // Resident set size now (VmRSS) in kilobytes.
    long ResidentKilobytes() const;
    // Starts the peak afresh from the present resident size; false when the system refuses.
    bool ResetPeak() const;
    // Lines in a result list the program wrote at its exit (after Stop).
    size_t ListLines(const char* name) const;
    // Whole messages in its spool, waiting or failed (read at any time).
    size_t SpooledMessages() const;
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

// The suite's aiosmtpd upstream (tests/support/upstream_smtp.py), or another script of that
// folder taking --port and --store (oauth_provider.py), with `arguments` (its options after
// --port and --store), storing into a folder of its own until the object goes.
class ScriptUpstream {
  public:
    ScriptUpstream(int port, const std::vector<std::string>& arguments,
                   const std::string& script = "upstream_smtp.py");
    ~ScriptUpstream();
    ScriptUpstream(const ScriptUpstream&) = delete;
    ScriptUpstream& operator=(const ScriptUpstream&) = delete;
    bool Ok() const { return ok_; }
    // Messages stored so far.
    long Stored() const;
    // The sessions that carried them (their distinct client ports).
    size_t Sessions() const;
    // How many of the stored messages each recipient got.
    std::map<std::string, int> RecipientCounts() const;
    // What the script counted under `name` (its <store>/<name>.count), 0 when nothing.
    int Count(const std::string& name) const;
    const std::string& Store() const { return store_; }

  private:
    std::string store_;
    pid_t pid_ = -1;
    int keepAlive_ = -1; // the script runs until its standard input closes
    bool ok_ = false;
};

// A self-signed certificate for an upstream in `folder`, made with openssl: "cert,key", or
// empty when openssl failed.
std::string MakeCertificate(const std::string& folder);

} // namespace bench
