#include "tests/support/process.h"

#include "platform/message_loop.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

ProcessResult Run(const std::vector<std::string>& argv, const std::string& input, int timeoutMs,
                  bool pump) {
    ProcessResult result;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return result;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        result.output = "cannot start " + argv[0];
        return result;
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    bool exited = false;
    while (!exited) {
        if (in[1] >= 0) {
            ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (written == input.size() || (n < 0 && errno != EAGAIN)) {
                close(in[1]);
                in[1] = -1;
            }
        }
        char buffer[4096];
        for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) > 0;)
            result.output.append(buffer, static_cast<size_t>(n));
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.output += "\n[killed at timeout]";
            close(out[0]);
            if (in[1] >= 0) close(in[1]);
            return result;
        }
        if (pump)
            platform::MessageLoop::Current().RunOnce(5);
        else {
            pollfd p{out[0], POLLIN, 0};
            poll(&p, 1, 5);
        }
    }
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) > 0;)
        result.output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    if (in[1] >= 0) close(in[1]);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace

ProcessResult RunWhilePumping(const std::vector<std::string>& argv, const std::string& input,
                              int timeoutMs) {
    return Run(argv, input, timeoutMs, true);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         int timeoutMs) {
    return Run(argv, input, timeoutMs, false);
}

} // namespace testsupport
