// The program itself: a logout or shutdown (SIGTERM) saves what closing the window saves,
// and standard error tells where it listens and what became of each message.
#include "app/account_editor.h"
#include "platform/text_file.h"
#include "tests/support/loopback.h"
#include "tests/support/upstream.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

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
    // Starts the program and waits for its greeting; returns the greeting line.
    std::string Start() {
        std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                        "VANTRO_TEST_PORT=" + std::to_string(port)};
        for (char** e = environ; *e; ++e) env.push_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string exe = Path("vantrosmtp");
        std::string errors = Path("stderr.txt");
        char* argv[] = {exe.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT, 0644);
        int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return "spawn failed";
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
    std::string StandardError() const {
        return platform::ReadFileBytes(Path("stderr.txt")).value_or("");
    }
};

TEST(Program, SigtermSavesSettingsAndListsWithoutAsking) {
    ProgramRun run("sigterm");
    std::filesystem::copy_file(std::string(VANTRO_FIXTURES) + "/good.ini", run.dir / "good.ini");
    EXPECT_EQ(run.Start(), "220 220  SMTP Server Ready.Welcome to TcpSrv\r\n");
    EXPECT_TRUE(run.Terminate()) << "ended by the signal instead of saving";
    for (const char* f : {"brontalnow.ini", "brontalhao.ini", "bad.ini"})
        EXPECT_TRUE(platform::FileExists(run.Path(f))) << f;
    EXPECT_EQ(platform::ReadFileBytes(run.Path("good.ini")),
              platform::ReadFileBytes(std::string(VANTRO_FIXTURES) + "/good.ini"));
    auto perms = std::filesystem::status(run.Path("brontalnow.ini")).permissions() &
                 std::filesystem::perms::all;
    EXPECT_EQ(perms, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(app::ReadSettings(run.Path("brontalnow.ini")).user, "kalvex");
}

TEST(Program, StandardErrorSaysWhereItListensAndLogsEachDelivery) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    ProgramRun run("journal");
    app::Account account;
    account.mailbox = "relay@mail.example";
    account.host = "127.0.0.1";
    account.port = std::to_string(upstream.Port());
    ASSERT_TRUE(app::WriteSettings(run.Path("brontalnow.ini"), account));
    ASSERT_EQ(run.Start().substr(0, 3), "220");
    int client = testsupport::ConnectLoopback(run.port);
    ASSERT_GE(client, 0);
    testsupport::ReadLine(client, 5000);
    for (const char* command :
         {"HELO pc\r\n", "MAIL FROM:<me@x.example>\r\n", "RCPT TO:<you@y.example>\r\n", "DATA\r\n",
          "Subject: hi\r\n\r\nbody\r\n.\r\n", "QUIT\r\n"}) {
        testsupport::SendAll(client, command);
        testsupport::ReadLine(client, 5000);
    }
    testsupport::CloseFd(client);
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    std::string errors;
    for (int i = 0; i < 100 && errors.find(" delivery ") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        errors = run.StandardError();
    }
    EXPECT_TRUE(run.Terminate());
    errors = run.StandardError();
    EXPECT_NE(errors.find("vantrosmtp: listening on 127.0.0.1 port " + std::to_string(run.port) +
                          "; files in " + run.dir.string() + "/; only this machine may relay\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find(" delivery relayed mailbox=relay@mail.example from=me@x.example "
                          "to=you@y.example size=21 duration="),
              std::string::npos)
        << errors;
}

} // namespace
