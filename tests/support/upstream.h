// A real upstream SMTP server (python3-aiosmtpd, tests/support/upstream_smtp.py) in a child
// process on a port of its own. Every accepted message can be read back.
#pragma once

#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct StoredMessage {
    std::string sender;
    std::vector<std::string> recipients;
    std::string authUser; // "-" when not authenticated
    std::string mailOptions;
    std::string content;       // the bytes as received, dot-unstuffed
    int peerPort = 0;          // the client's port: messages of one session share it
    std::string authMechanism; // "-" when not authenticated
    std::string helloName;     // the name the client's EHLO or HELO gave
};

class Upstream {
  public:
    // Extra arguments for the script (--user name:pw, --cram, --starttls cert,key, ...).
    explicit Upstream(const std::vector<std::string>& arguments = {});
    // Another server script of this folder that takes --port and --store and writes the
    // same store (exim_upstream.py: exim behind the same interface).
    Upstream(const std::string& script, const std::vector<std::string>& arguments);
    ~Upstream();
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;

    bool Ok() const { return ok_; }
    int Port() const { return port_; }
    std::string HostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<StoredMessage> Messages() const;
    // Waits until `count` messages are stored (the server writes them after its reply).
    bool WaitForMessages(size_t count, int timeoutMs) const;
    // What the server counted: "cap-refused", "down-refused", "greylisted", "peak-sessions"
    // (0 when it never happened).
    int Count(const std::string& name) const;
    // The client ports of the sessions that ended with QUIT.
    std::vector<int> QuitPorts() const;
    // With --pipelining: each packet the server read, as Python writes bytes ("\\r\\n" for
    // CR LF), in order.
    std::vector<std::string> Reads() const;
    const std::string& Log() const { return log_; }
    // The folder the script keeps what it stored and counted in.
    const std::string& Store() const { return store_; }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int port_ = 0;
    bool ok_ = false;
    std::string store_;
    std::string log_;
};

// The client ports of the sessions that carried `messages`: one per session.
std::set<int> SessionPorts(const std::vector<StoredMessage>& messages);

// A self-signed certificate and key for 127.0.0.1 / "upstream.example", made once per
// process with the openssl command. Returns "cert,key" paths.
std::string TestCertificate();

// A test certificate authority made with openssl once per process, and server certificates
// it signs for `altNames` (for instance "DNS:localhost,IP:127.0.0.1"), as "cert,key" paths.
// A client trusts them only when handed TestAuthorityFile(): nothing is installed.
std::string TestAuthorityFile();
std::string CertificateFromTestAuthority(const std::string& altNames);

} // namespace testsupport
