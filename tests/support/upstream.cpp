#include "tests/support/upstream.h"

#include "tests/support/loopback.h"
#include "tests/support/process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

std::string ScriptPath(const std::string& script) {
    return std::string(VANTRO_SOURCE_DIR) + "/tests/support/" + script;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

Upstream::Upstream(const std::vector<std::string>& arguments)
    : Upstream("upstream_smtp.py", arguments) {}

Upstream::Upstream(const std::string& script, const std::vector<std::string>& arguments) {
    char pattern[] = "/tmp/upstream-XXXXXX";
    if (!mkdtemp(pattern)) return;
    store_ = pattern;
    port_ = FreePort();
    std::vector<std::string> argv = {"/usr/bin/python3",    ScriptPath(script), "--port",
                                     std::to_string(port_), "--store",          store_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // Output goes to a file: a closed pipe would break the server at its first warning.
    std::string logPath = store_ + "/server.log";
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    input_ = in[1];
    if (rc != 0) {
        pid_ = -1;
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        log_ = ReadAll(logPath);
        if (log_.find("READY") != std::string::npos) break;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ok_ = log_.find("READY") != std::string::npos;
}

Upstream::~Upstream() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0) {
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (!store_.empty()) std::filesystem::remove_all(store_);
}

std::vector<StoredMessage> Upstream::Messages() const {
    std::vector<StoredMessage> messages;
    for (int n = 1;; ++n) {
        std::string base = store_ + "/" + std::to_string(n);
        if (!std::filesystem::exists(base + ".eml")) break;
        StoredMessage m;
        std::istringstream env(ReadAll(base + ".env"));
        std::string recipients;
        std::getline(env, m.sender);
        std::getline(env, recipients);
        std::getline(env, m.authUser);
        std::getline(env, m.mailOptions);
        std::string peerPort;
        std::getline(env, peerPort);
        m.peerPort = std::atoi(peerPort.c_str());
        std::getline(env, m.authMechanism);
        std::getline(env, m.helloName);
        std::istringstream list(recipients);
        for (std::string r; std::getline(list, r, ',');) m.recipients.push_back(r);
        m.content = ReadAll(base + ".eml");
        messages.push_back(std::move(m));
    }
    return messages;
}

std::set<int> SessionPorts(const std::vector<StoredMessage>& messages) {
    std::set<int> ports;
    for (const auto& m : messages) ports.insert(m.peerPort);
    return ports;
}

int Upstream::Count(const std::string& name) const {
    std::ifstream file(store_ + "/" + name + ".count");
    int count = 0;
    file >> count;
    return count;
}

std::vector<std::string> Upstream::Reads() const {
    std::ifstream file(store_ + "/reads.log");
    std::vector<std::string> reads;
    for (std::string line; std::getline(file, line);) reads.push_back(line);
    return reads;
}

std::vector<int> Upstream::QuitPorts() const {
    std::vector<int> ports;
    for (const auto& entry : std::filesystem::directory_iterator(store_)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("quit-", 0) == 0) ports.push_back(std::atoi(name.c_str() + 5));
    }
    return ports;
}

bool Upstream::WaitForMessages(size_t count, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Messages().size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

namespace {
// A folder of this test process, removed when the process ends (not by a forked child that
// happens to exit normally: the folder is still the parent's).
struct ProcessFolder {
    pid_t owner = getpid();
    std::string path;
    explicit ProcessFolder(const std::string& prefix) : path(prefix + std::to_string(owner)) {
        std::filesystem::create_directories(path);
    }
    ~ProcessFolder() {
        std::error_code ignored; // at exit there is nobody left to tell
        if (getpid() == owner) std::filesystem::remove_all(path, ignored);
    }
};
} // namespace

std::string TestCertificate() {
    static ProcessFolder folder("/tmp/vantro-test-cert-");
    static std::string pair = [] {
        const std::string& dir = folder.path;
        std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
        RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=upstream.example", "-addext",
                    "subjectAltName=DNS:upstream.example,IP:127.0.0.1"},
                   "", 30000);
        return cert + "," + key;
    }();
    return pair;
}

namespace {
std::string AuthorityDirectory() {
    static ProcessFolder folder("/tmp/vantro-test-ca-");
    static std::string dir = [] {
        const std::string& path = folder.path;
        RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    path + "/ca.key", "-out", path + "/ca.pem", "-days", "2", "-subj",
                    "/CN=Vantro Test Authority", "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
                   "", 30000);
        return path;
    }();
    return dir;
}
} // namespace

std::string TestAuthorityFile() {
    return AuthorityDirectory() + "/ca.pem";
}

std::string CertificateFromTestAuthority(const std::string& altNames) {
    static std::mutex lock;
    static std::map<std::string, std::string> made;
    std::lock_guard<std::mutex> guard(lock);
    auto found = made.find(altNames);
    if (found != made.end()) return found->second;
    std::string dir = AuthorityDirectory();
    std::string base = dir + "/server" + std::to_string(made.size());
    {
        std::ofstream extensions(base + ".ext");
        extensions << "subjectAltName=" << altNames << "\n";
    }
    RunProcess({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", base + ".key",
                "-out", base + ".csr", "-subj", "/CN=vantro test server"},
               "", 30000);
    RunProcess({"openssl", "x509", "-req", "-in", base + ".csr", "-CA", dir + "/ca.pem", "-CAkey",
                dir + "/ca.key", "-CAcreateserial", "-out", base + ".pem", "-days", "2", "-extfile",
                base + ".ext"},
               "", 30000);
    return made[altNames] = base + ".pem," + base + ".key";
}

} // namespace testsupport
