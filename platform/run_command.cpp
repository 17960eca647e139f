#include "platform/run_command.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed when it goes out of scope.
struct OwnedFd {
    int fd = -1;
    ~OwnedFd() { Close(); }
    void Close() {
        if (fd != -1) ::close(fd);
        fd = -1;
    }
};

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnActions() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnActions() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

// Appends what `fd` has to `kept` (up to the bound); false at its end or on an error.
bool Drain(int fd, std::string& kept) {
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    size_t room = kMaxCommandOutput - std::min(kMaxCommandOutput, kept.size());
    kept.append(buffer, std::min(room, static_cast<size_t>(n)));
    return true;
}

// Reads both streams until they close or the deadline passes; false at the deadline.
bool ReadUntilClosed(OwnedFd& out, OwnedFd& err, CommandResult& result,
                     Clock::time_point deadline) {
    while (out.fd != -1 || err.fd != -1) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{out.fd, POLLIN, 0}, {err.fd, POLLIN, 0}};
        int ready = ::poll(fds, 2, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        if (fds[0].revents && !Drain(out.fd, result.output)) out.Close();
        if (fds[1].revents && !Drain(err.fd, result.errorOutput)) err.Close();
    }
    return true;
}

// Waits for the child until the deadline; false when it is still running then.
bool Reap(pid_t pid, int& status, Clock::time_point deadline) {
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return true; // not ours to wait for any more
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace

std::string CommandResult::Ending() const {
    if (!started) return "could not be started: " + startError;
    if (timedOut) return "no answer within the time bound (killed)";
    if (signal != 0) return "killed by signal " + std::to_string(signal);
    return "exit status " + std::to_string(exitStatus);
}

CommandResult RunCommand(const std::string& commandLine, std::chrono::milliseconds bound) {
    CommandResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        result.startError = std::strerror(errno);
        return result;
    }
    OwnedFd outRead{outPipe[0]}, outWrite{outPipe[1]};
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        result.startError = std::strerror(errno);
        return result;
    }
    OwnedFd errRead{errPipe[0]}, errWrite{errPipe[1]};
    SpawnActions spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&spawn.actions, outWrite.fd, 1);
    posix_spawn_file_actions_adddup2(&spawn.actions, errWrite.fd, 2);
    // Not even a descriptor some library opened without close-on-exec: a command that
    // outlives us must not hold our listening socket or a spool file.
    posix_spawn_file_actions_addclosefrom_np(&spawn.actions, 3);
    // A session of its own: no terminal to prompt on, and one process group to kill.
    posix_spawnattr_setflags(&spawn.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&spawn.attributes, &none);
    posix_spawnattr_setsigdefault(&spawn.attributes, &all);
    const char* argv[] = {"sh", "-c", commandLine.c_str(), nullptr};
    pid_t pid = -1;
    int error = ::posix_spawn(&pid, "/bin/sh", &spawn.actions, &spawn.attributes,
                              const_cast<char**>(argv), environ);
    if (error != 0) {
        result.startError = std::strerror(error);
        return result;
    }
    result.started = true;
    outWrite.Close();
    errWrite.Close();
    auto deadline = Clock::now() + bound;
    int status = 0;
    if (!ReadUntilClosed(outRead, errRead, result, deadline) || !Reap(pid, status, deadline)) {
        result.timedOut = true;
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return result;
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

} // namespace platform
