#include "bench/peers.h"

#include "app/core/accounts.h"
#include "app/core/string_list.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

Program::Program(const std::string& executable, int port, int upstreamPort, long descriptorLimit,
                 const std::function<void(const std::string& settingsPath)>& configure) {
    dir_ = (std::filesystem::temp_directory_path() /
            ("vantro-bench-" + std::to_string(getpid()) + "-" + std::to_string(port)))
               .string();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::string exe = dir_ + "/vantrosmtp";
    std::filesystem::copy_file(executable, exe);
    app::Account account;
    account.mailbox = "bench@corp.example";
    account.host = "127.0.0.1";
    account.port = std::to_string(upstreamPort);
    app::WriteSettings(dir_ + "/brontalnow.ini", account);
    if (configure) configure(dir_ + "/brontalnow.ini");
    port_ = port;
    descriptorLimit_ = descriptorLimit;
    ok_ = Launch();
}

bool Program::Launch() {
    std::string exe = dir_ + "/vantrosmtp";
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        DieWithParent(parent);
        if (descriptorLimit_ > 0) {
            rlimit limit{static_cast<rlim_t>(descriptorLimit_),
                         static_cast<rlim_t>(descriptorLimit_)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        // The journal, when VANTRO_BENCH_JOURNAL names a file to append it to.
        const char* journal = std::getenv("VANTRO_BENCH_JOURNAL");
        int err = journal ? ::open(journal, O_WRONLY | O_CREAT | O_APPEND, 0600)
                          : ::open("/dev/null", O_WRONLY);
        dup2(err, 2);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("VANTRO_TEST_PORT", std::to_string(port_).c_str(), 1);
        execl(exe.c_str(), exe.c_str(), nullptr);
        _exit(127);
    }
    return pid_ > 0 && WaitForPort(port_);
}

bool Program::Restart() {
    return Launch();
}

void Program::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

Program::~Program() {
    Stop();
    std::filesystem::remove_all(dir_);
}

void Program::Stop() {
    StopChild(pid_);
}

double Program::CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < text.size() && fields.size() < 15) {
        size_t space = text.find(' ', pos);
        fields.push_back(text.substr(pos, space - pos));
        pos = space == std::string::npos ? text.size() : space + 1;
    }
    // Fields 14 and 15 of the file (utime, stime), counted from the state as 3.
    if (fields.size() < 13) return 0;
    double ticks = std::atof(fields[11].c_str()) + std::atof(fields[12].c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {
long StatusKilobytes(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}
} // namespace

long Program::PeakKilobytes() const {
    return StatusKilobytes(pid_, "VmHWM:");
}

long Program::ResidentKilobytes() const {
    return StatusKilobytes(pid_, "VmRSS:");
}

bool Program::ResetPeak() const {
    // "5" resets the process's resident high-water mark (VmHWM) to its present size.
    std::ofstream clear("/proc/" + std::to_string(pid_) + "/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

ScriptUpstream::ScriptUpstream(int port, const std::vector<std::string>& arguments,
                               const std::string& script) {
    store_ = (std::filesystem::temp_directory_path() /
              ("vantro-upstream-" + std::to_string(getpid()) + "-" + std::to_string(port)))
                 .string();
    std::filesystem::remove_all(store_);
    std::filesystem::create_directories(store_);
    std::vector<std::string> argv = {
        "/usr/bin/python3", std::string(VANTRO_SOURCE_DIR) + "/tests/support/" + script,
        "--port",           std::to_string(port),
        "--store",          store_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    int keepAlive[2];
    if (pipe(keepAlive) != 0) return;
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        DieWithParent(parent);
        dup2(keepAlive[0], 0);
        close(keepAlive[1]);
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(keepAlive[0]);
    keepAlive_ = keepAlive[1];
    ok_ = pid_ > 0 && WaitForPort(port);
}

ScriptUpstream::~ScriptUpstream() {
    if (keepAlive_ != -1) close(keepAlive_);
    StopChild(pid_);
    std::filesystem::remove_all(store_);
}

long ScriptUpstream::Stored() const {
    long stored = 0;
    for (const auto& entry : std::filesystem::directory_iterator(store_))
        stored += entry.path().extension() == ".eml";
    return stored;
}

size_t ScriptUpstream::Sessions() const {
    std::set<std::string> ports;
    for (const auto& entry : std::filesystem::directory_iterator(store_)) {
        if (entry.path().extension() != ".env") continue;
        std::ifstream env(entry.path());
        std::string line;
        for (int i = 0; i < 5 && std::getline(env, line); ++i) {
        }
        ports.insert(line); // the fifth line: the client's port
    }
    return ports.size();
}

std::map<std::string, int> ScriptUpstream::RecipientCounts() const {
    std::map<std::string, int> counts;
    for (const auto& entry : std::filesystem::directory_iterator(store_)) {
        if (entry.path().extension() != ".env") continue;
        std::ifstream env(entry.path());
        std::string line;
        std::getline(env, line); // the sender
        std::getline(env, line); // the recipients, joined by ","
        std::stringstream recipients(line);
        for (std::string recipient; std::getline(recipients, recipient, ',');) ++counts[recipient];
    }
    return counts;
}

int ScriptUpstream::Count(const std::string& name) const {
    std::ifstream file(store_ + "/" + name + ".count");
    int count = 0;
    file >> count;
    return count;
}

std::string MakeCertificate(const std::string& folder) {
    std::string cert = folder + "/cert.pem", key = folder + "/key.pem";
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                          "-keyout " +
                          key + " -out " + cert + " > /dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? cert + "," + key : std::string();
}

size_t Program::SpooledMessages() const {
    size_t messages = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "/spool", ignored))
        messages += entry.path().extension() == ".msg" ? 1 : 0;
    return messages;
}

size_t Program::ListLines(const char* name) const {
    auto lines = app::LoadStringList(dir_ + "/" + name);
    return lines ? lines->size() : 0;
}

} // namespace bench
