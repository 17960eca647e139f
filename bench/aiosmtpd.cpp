#include "bench/aiosmtpd.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bench {

void DieWithParent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1); // it ended before the request took hold
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool WaitForPort(int port) {
    for (int i = 0; i < 200; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
        ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void StopChild(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

Aiosmtpd::Aiosmtpd(int port, const std::vector<std::string>& handler) {
    std::vector<std::string> args;
    if (handler.size() == 3 && handler[0] == "aiosmtpd.handlers.Proxy") {
        // The Proxy handler takes its upstream as arguments, which the command line refuses.
        args = {"/usr/bin/python3", std::string(VANTRO_SOURCE_DIR) + "/bench/aiosmtpd_proxy.py",
                std::to_string(port), handler[1], handler[2]};
    } else {
        args = {"/usr/bin/python3",
                "-m",
                "aiosmtpd",
                "-n",
                "-c",
                handler.at(0),
                "-l",
                "127.0.0.1:" + std::to_string(port)};
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        DieWithParent(parent);
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ok_ = pid_ > 0 && WaitForPort(port);
}

Aiosmtpd::~Aiosmtpd() {
    StopChild(pid_);
}

} // namespace bench
