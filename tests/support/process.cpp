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

// A started child with its standard input to write and its output (both streams) to read.
struct Child {
    pid_t pid = 0;
    int in = -1;
    int out = -1;
};

bool Spawn(const std::vector<std::string>& argv, Child& child) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    // A child that exits before reading all its input (a refused option, say) must fail the
    // write, not end the test with SIGPIPE; the child itself gets the default back.
    std::signal(SIGPIPE, SIG_IGN);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawnp(&child.pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        return false;
    }
    child.in = in[1];
    child.out = out[0];
    fcntl(child.in, F_SETFL, O_NONBLOCK);
    fcntl(child.out, F_SETFL, O_NONBLOCK);
    return true;
}

void ReadAvailable(int fd, std::string& output) {
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;)
        output.append(buffer, static_cast<size_t>(n));
}

void CloseInput(Child& child) {
    if (child.in >= 0) close(child.in);
    child.in = -1;
}

// Feeds `input`, collects the output and waits for the exit; false when the deadline came
// first (the child is then killed). `status` is waitpid's.
bool Await(Child& child, const std::string& input, int timeoutMs, bool pump, std::string& output,
           int& status) {
    size_t written = 0;
    if (input.empty()) CloseInput(child);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (child.in >= 0) {
            ssize_t n = write(child.in, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (written == input.size() || (n < 0 && errno != EAGAIN)) CloseInput(child);
        }
        ReadAvailable(child.out, output);
        if (waitpid(child.pid, &status, WNOHANG) == child.pid) return true;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            return false;
        }
        if (pump) {
            platform::MessageLoop::Current().RunOnce(5);
        } else {
            pollfd p{child.out, POLLIN, 0};
            poll(&p, 1, 5);
        }
    }
}

ProcessResult Run(const std::vector<std::string>& argv, const std::string& input, int timeoutMs,
                  bool pump) {
    ProcessResult result;
    Child child;
    if (!Spawn(argv, child)) {
        result.output = "cannot start " + argv[0];
        return result;
    }
    int status = 0;
    bool exited = Await(child, input, timeoutMs, pump, result.output, status);
    CloseInput(child);
    if (!exited) {
        result.output += "\n[killed at timeout]";
        close(child.out);
        return result;
    }
    ReadAvailable(child.out, result.output);
    close(child.out);
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
