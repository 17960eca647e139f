// The shipped program (VANTRO_PROGRAM) in a folder of its own on a loopback port, as the
// program's tests and the sendmail command's tests run it.
#pragma once

#include "app/core/accounts.h"
#include "platform/text_file.h"
#include "tests/support/loopback.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

// The shipped program in a folder of its own, on a loopback port, its standard error kept.
struct ProgramRun {
    std::filesystem::path dir;
    int port = testsupport::FreePort();
    pid_t pid = 0;

    explicit ProgramRun(const std::string& name) {
        dir = std::filesystem::temp_directory_path() /
              ("program-" + std::to_string(getpid()) + "-" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::copy_file(VANTRO_PROGRAM, dir / "vantrosmtp");
    }
    ~ProgramRun() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::filesystem::remove_all(dir);
    }
    std::string Path(const char* name) const { return (dir / name).string(); }
    // Starts a copy of the program with its standard error appended to stderr.txt, after
    // `prefix` (a command that runs it, such as one that changes the user).
    pid_t Spawn(const std::vector<std::string>& prefix = {}) const {
        std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                        "VANTRO_TEST_PORT=" + std::to_string(port)};
        for (char** e = environ; *e; ++e) env.push_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string exe = Path("vantrosmtp");
        std::string errors = Path("stderr.txt");
        std::vector<std::string> command = prefix;
        command.push_back(exe);
        std::vector<char*> argv;
        for (auto& part : command) argv.push_back(part.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        pid_t spawned = 0;
        int rc = posix_spawn(&spawned, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? spawned : -1;
    }
    // Starts the program and waits for its greeting; returns the greeting line.
    std::string Start() {
        pid = Spawn();
        if (pid <= 0) return "spawn failed";
        int client = -1;
        for (int i = 0; i < 100 && client < 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            client = testsupport::ConnectLoopback(port);
        }
        if (client < 0) return "the program never listened";
        std::string greeting = testsupport::ReadLine(client, 5000);
        testsupport::CloseFd(client);
        return greeting;
    }
    // SIGTERM; true when the program ended by itself (after saving).
    bool Terminate() {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = 0;
        return WIFEXITED(status);
    }
    // Waits up to `seconds` for the program to end by itself; its exit status, or -1.
    int WaitForExit(int seconds) {
        int status = 0;
        for (int i = 0; i < seconds * 40; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return -1;
    }
    // kill -9: nothing is saved.
    void Kill() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = 0;
    }
    void UseUpstream(int port) {
        app::Account account = app::ReadSettings(Path("brontalnow.ini"));
        account.mailbox = "relay@mail.example";
        account.host = "127.0.0.1";
        account.port = std::to_string(port);
        app::WriteSettings(Path("brontalnow.ini"), account);
    }
    size_t Spooled() const {
        size_t count = 0;
        if (std::filesystem::exists(dir / "spool"))
            for (const auto& entry : std::filesystem::directory_iterator(dir / "spool"))
                count += entry.path().extension() == ".msg" ? 1 : 0; // not the emptied ones
        return count;
    }
    std::string StandardError() const {
        return platform::ReadFileBytes(Path("stderr.txt")).value_or("");
    }
};

} // namespace testsupport
