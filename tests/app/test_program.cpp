// The program itself: a logout or shutdown (SIGTERM) saves what closing the window saves.
#include "app/account_editor.h"
#include "platform/text_file.h"
#include "tests/support/loopback.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

TEST(Program, SigtermSavesSettingsAndListsWithoutAsking) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("program-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(VANTRO_PROGRAM, dir / "vantrosmtp");
    std::filesystem::copy_file(std::string(VANTRO_FIXTURES) + "/good.ini", dir / "good.ini");
    int port = testsupport::FreePort();
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                    "VANTRO_TEST_PORT=" + std::to_string(port)};
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = (dir / "vantrosmtp").string();
    char* argv[] = {exe.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    int client = -1;
    for (int i = 0; i < 100 && client < 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        client = testsupport::ConnectLoopback(port);
    }
    ASSERT_GE(client, 0) << "the program never listened";
    EXPECT_EQ(testsupport::ReadLine(client, 5000),
              "220 220  SMTP Server Ready.Welcome to TcpSrv\r\n");
    testsupport::CloseFd(client);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by the signal instead of saving";
    for (const char* f : {"brontalnow.ini", "brontalhao.ini", "bad.ini"})
        EXPECT_TRUE(platform::FileExists((dir / f).string())) << f;
    EXPECT_EQ(platform::ReadFileBytes((dir / "good.ini").string()),
              platform::ReadFileBytes(std::string(VANTRO_FIXTURES) + "/good.ini"));
    auto perms =
        std::filesystem::status(dir / "brontalnow.ini").permissions() & std::filesystem::perms::all;
    EXPECT_EQ(perms, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(app::ReadSettings((dir / "brontalnow.ini").string()).user, "kalvex");
    std::filesystem::remove_all(dir);
}

} // namespace
