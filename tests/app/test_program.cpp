// The program itself: a logout or shutdown (SIGTERM) saves what closing the window saves,
// and standard error tells where it listens and what became of each message.
#include "app/core/accounts.h"
#include "app/core/string_list.h"
#include "platform/text_file.h"
#include "tests/app/program_run.h"
#include "tests/support/loopback.h"
#include "tests/support/peers.h"
#include "tests/support/process.h"
#include "tests/support/upstream.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

using testsupport::ProgramRun;

// One message over its own connection; the reply to its end of data.
std::string Submit(int port, const std::string& subject) {
    int client = testsupport::ConnectLoopback(port);
    if (client < 0) return "no connection";
    std::string reply = testsupport::ReadLine(client, 5000);
    for (const std::string& command :
         {std::string("HELO pc\r\n"), std::string("MAIL FROM:<me@x.example>\r\n"),
          std::string("RCPT TO:<you@y.example>\r\n"), std::string("DATA\r\n"),
          "Subject: " + subject + "\r\n\r\nbody\r\n.\r\n"}) {
        testsupport::SendAll(client, command);
        reply = testsupport::ReadLine(client, 5000);
    }
    testsupport::CloseFd(client);
    return reply;
}

// Every message the upstream holds once, by subject.
std::multiset<std::string> Subjects(const testsupport::Upstream& upstream) {
    std::multiset<std::string> subjects;
    for (const auto& message : upstream.Messages())
        subjects.insert(message.content.substr(0, message.content.find("\r\n")));
    return subjects;
}

std::multiset<std::string> Expected(int count) {
    std::multiset<std::string> subjects;
    for (int i = 0; i < count; ++i) subjects.insert("Subject: m" + std::to_string(i));
    return subjects;
}

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
    // A first start: its own lines come first, and one says that no account is set up.
    std::string errors = run.StandardError();
    EXPECT_EQ(errors.rfind("vantrosmtp: files in ", 0), 0u) << errors;
    EXPECT_NE(errors.find("vantrosmtp: 尚未设置发送帐户 (no sending account set up yet)"),
              std::string::npos)
        << errors;
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
    // Beside 127.0.0.1, ::1 at the same port; a machine without IPv6 says why it has IPv4 only.
    bool ipv6 = errors.find("vantrosmtp: listening on [::1] port " + std::to_string(run.port) +
                            " too\n") != std::string::npos;
    EXPECT_TRUE(ipv6 || errors.find("vantrosmtp: not listening on IPv6 (") != std::string::npos)
        << errors;
}

// An upstream that answers MAIL only after 30 s: deliveries wait there, before their text.
std::unique_ptr<testsupport::Upstream> SlowUpstream() {
    return std::make_unique<testsupport::Upstream>(std::vector<std::string>{"--mail-delay", "30"});
}

// Starts the program relaying to `upstream` and has ten messages ("m0".."m9") confirmed.
void SubmitTen(ProgramRun& run, const testsupport::Upstream& upstream) {
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    run.UseUpstream(upstream.Port());
    ASSERT_EQ(run.Start().substr(0, 3), "220");
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(Submit(run.port, "m" + std::to_string(i)), "250 OK \r\n") << i;
}

// Starts the program again towards a healthy upstream; m0..m9 each arrive once.
void RestartAndDeliverTen(ProgramRun& run) {
    testsupport::Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    run.UseUpstream(upstream.Port());
    ASSERT_EQ(run.Start().substr(0, 3), "220");
    ASSERT_TRUE(upstream.WaitForMessages(10, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // a second copy would show now
    EXPECT_TRUE(run.Terminate());
    EXPECT_EQ(Subjects(upstream), Expected(10));
}

TEST(Program, SigtermWithMessagesInFlightThenARestartDeliversEachOnce) {
    auto slow = SlowUpstream();
    ProgramRun run("inflight");
    ASSERT_NO_FATAL_FAILURE(SubmitTen(run, *slow));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // waiting for MAIL replies
    auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(run.Terminate());
    // Stopped, not waited out: the upstream would have taken 30 s.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
    EXPECT_EQ(run.Spooled(), 10u);
    EXPECT_TRUE(slow->Messages().empty());
    slow.reset();

    ASSERT_NO_FATAL_FAILURE(RestartAndDeliverTen(run));
    EXPECT_EQ(run.Spooled(), 0u);
    EXPECT_EQ(app::LoadStringList(run.Path("good.ini"))->size(), 10u);
}

TEST(Program, KillNineLosesNoConfirmedMessage) {
    auto slow = SlowUpstream();
    ProgramRun run("killed");
    ASSERT_NO_FATAL_FAILURE(SubmitTen(run, *slow));
    run.Kill();
    slow.reset();
    ASSERT_NO_FATAL_FAILURE(RestartAndDeliverTen(run));
}

TEST(Program, ASecondCopyInTheSameFolderEndsWithoutTouchingTheFiles) {
    ProgramRun run("second");
    ASSERT_TRUE(platform::WriteFileAtomically(run.Path("good.ini"), "a\r\nb\r\nc\r\n", 0644));
    ASSERT_TRUE(platform::WriteFileAtomically(run.Path("bad.ini"), "d\r\ne\r\n", 0644));
    ASSERT_EQ(run.Start().substr(0, 3), "220");
    auto stamp = std::filesystem::last_write_time(run.Path("good.ini"));
    pid_t second = run.Spawn();
    ASSERT_GT(second, 0);
    int status = 0;
    waitpid(second, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(run.StandardError().find("another copy is already running"), std::string::npos);
    EXPECT_EQ(*platform::ReadFileBytes(run.Path("good.ini")), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(std::filesystem::last_write_time(run.Path("good.ini")), stamp);
    EXPECT_FALSE(platform::FileExists(run.Path("brontalnow.ini")));
    EXPECT_TRUE(run.Terminate()); // the first copy goes on and saves its own lists
    EXPECT_EQ(*platform::ReadFileBytes(run.Path("bad.ini")), "d\r\ne\r\n");
}

TEST(Program, AStartUpErrorWithoutADisplayIsALineOnStandardErrorAndExitStatusOne) {
    // The port is taken: the error box's words go to standard error, nobody has to answer.
    ProgramRun taken("porttaken");
    int holder = testsupport::ListenLoopback(taken.port);
    ASSERT_GE(holder, 0);
    taken.pid = taken.Spawn();
    ASSERT_GT(taken.pid, 0);
    EXPECT_EQ(taken.WaitForExit(10), 1) << taken.StandardError();
    testsupport::CloseFd(holder);
    std::string errors = taken.StandardError();
    EXPECT_NE(errors.find("message box"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Address already in use"), std::string::npos) << errors;
    EXPECT_NE(errors.find("ending with status 1"), std::string::npos) << errors;
    EXPECT_TRUE(platform::FileExists(taken.Path("brontalnow.ini"))); // what it read is saved

    // Another user's files in a folder this user cannot write: the account list cannot be
    // read. Nothing is overwritten, and the service manager sees the failure at once.
    ProgramRun other("otheruser");
    const std::string accounts = "a@mail.example|smtp.example|25|sslno|tlsno|authyes|u|p|any\r\n";
    ASSERT_TRUE(platform::WriteFileAtomically(other.Path("brontalhao.ini"), accounts, 0600));
    ASSERT_TRUE(platform::WriteFileAtomically(other.Path("bad.ini"), "kept\r\n", 0644));
    app::WriteSettings(other.Path("brontalnow.ini"), app::Account());
    ::chmod(other.Path("brontalnow.ini").c_str(), 0644);
    std::vector<std::string> asAnotherUser;
    if (geteuid() == 0)
        asAnotherUser = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    else
        ::chmod(other.Path("brontalhao.ini").c_str(), 0);
    other.pid = other.Spawn(asAnotherUser);
    ASSERT_GT(other.pid, 0);
    EXPECT_EQ(other.WaitForExit(10), 1) << other.StandardError();
    errors = other.StandardError();
    EXPECT_NE(errors.find("Cannot open file"), std::string::npos) << errors;
    ::chmod(other.Path("brontalhao.ini").c_str(), 0600);
    EXPECT_EQ(*platform::ReadFileBytes(other.Path("brontalhao.ini")), accounts);
    EXPECT_EQ(*platform::ReadFileBytes(other.Path("bad.ini")), "kept\r\n");
}

TEST(Program, TitlesUnderARealDisplayCarryNoApplicationNameSuffix) {
    VANTRO_NEED_PEER(access("/usr/bin/xvfb-run", X_OK) == 0 &&
                         access("/usr/bin/xwininfo", X_OK) == 0,
                     "needs xvfb-run and xwininfo (xvfb, x11-utils)");
    ProgramRun run("titles");
    // The program's standard error and its end are kept in the output, so that a program
    // that never showed its window says why. The script changes to the program's folder
    // itself: a "cd" inside the backgrounded command would not reach the "cat".
    std::string script = "cd '" + run.dir.string() +
                         "' || exit; VANTRO_TEST_PORT=" + std::to_string(run.port) +
                         " ./vantrosmtp 2>stderr.txt & for i in $(seq 100); do "
                         "xwininfo -root -tree | grep -q 'www.vantro' && break; sleep 0.1; done; "
                         "xwininfo -root -tree; kill -TERM $! || { wait $!; echo \"ended: $?\"; "
                         "cat stderr.txt; }; wait";
    auto attempt = [&] {
        return testsupport::RunProcess({"xvfb-run", "-a", "bash", "-c", script}, "", 30000);
    };
    auto result = attempt();
    // A program gone before its window appeared, with the display server started afresh for
    // it, is tried once more: starting a display server beside a loaded sanitizer suite is
    // not what this test is about. Both outputs are shown if it fails again.
    if (result.output.find("ended: ") != std::string::npos) {
        std::string first = result.output;
        result = attempt();
        result.output += "\n[first attempt]\n" + first;
    }
    std::string title = "\"\xE3\x80\x8EVantroSMTP\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x99\xA8"
                        "\xE3\x80\x8FV2.5 www.vantro.example.com  400-000-0000\"";
    EXPECT_NE(result.output.find(title), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("\xE2\x80\x94"), std::string::npos) // no " — name" anywhere
        << result.output;
}

} // namespace

namespace {

// `vantrosmtp --sign-in` as a headless machine runs it: the address on standard output, a
// browser (played by the test) fetching it, the refresh token kept in the file store since no
// keyring answers, exit 0; and no token text in anything it printed.
TEST(Program, SignsInHeadlessFromThePrintedAddress) {
    for (bool signedIn : {true, false}) {
        SCOPED_TRACE(signedIn ? "the provider answers" : "a forged state");
        std::vector<std::string> arguments;
        if (!signedIn) arguments.push_back("--wrong-state");
        testsupport::Upstream provider("oauth_provider.py", arguments);
        ASSERT_TRUE(provider.Ok()) << provider.Log();
        ProgramRun run(signedIn ? "sign-in" : "sign-in-forged");
        std::string base = "http://127.0.0.1:" + std::to_string(provider.Port());
        ASSERT_TRUE(platform::WriteFileAtomically(
            run.Path("brontalnow.ini"),
            "[oauth2]\r\nme@x.example=local\r\n[provider local]\r\nauthurl=" + base +
                "/auth\r\ntokenurl=" + base +
                "/token\r\nclientid=vantro-test-client\r\nscope=smtp\r\n",
            0600));
        const char* script = R"PY(
import os, subprocess, sys, urllib.request
env = {k: v for k, v in os.environ.items()
       if k not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR")}
program = subprocess.Popen([sys.argv[1], "--sign-in", "me@x.example"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, env=env)
address = program.stdout.readline().decode().strip()
try:
    page = urllib.request.urlopen(address, timeout=20).read().decode()
except Exception as error:
    page = "no page: %s" % error
out, err = program.communicate(timeout=60)
print("status=%d" % program.returncode)
print("address=" + address)
print("page=" + page)
print("stdout=" + out.decode())
print("stderr=" + err.decode())
)PY";
        auto ran = testsupport::RunProcess(
            {"/usr/bin/python3", "-c", script, run.Path("vantrosmtp")}, "", 90000);
        ASSERT_EQ(ran.exitCode, 0) << ran.output;
        auto tokens = platform::ReadFileBytes(run.Path("oauth2-tokens"));
        if (signedIn) {
            EXPECT_NE(ran.output.find("status=0\n"), std::string::npos) << ran.output;
            EXPECT_NE(ran.output.find("address=" + base + "/auth?response_type=code&"),
                      std::string::npos)
                << ran.output;
            EXPECT_NE(ran.output.find("You may close this page."), std::string::npos) << ran.output;
            EXPECT_NE(
                ran.output.find("me@x.example is signed in with local; the sign-in is kept in " +
                                run.Path("oauth2-tokens")),
                std::string::npos)
                << ran.output;
            ASSERT_TRUE(tokens.has_value());
            EXPECT_EQ(tokens->rfind("me@x.example=rt-", 0), 0u) << *tokens;
            std::string token = tokens->substr(13, tokens->find('\n') - 13);
            EXPECT_EQ(ran.output.find(token), std::string::npos) << "a token was printed";
            EXPECT_EQ(std::filesystem::status(run.Path("oauth2-tokens")).permissions() &
                          std::filesystem::perms::all,
                      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        } else {
            EXPECT_NE(ran.output.find("status=1\n"), std::string::npos) << ran.output;
            EXPECT_NE(ran.output.find("me@x.example is not signed in: the answer's state did not "
                                      "match this sign-in; nothing was kept"),
                      std::string::npos)
                << ran.output;
            EXPECT_FALSE(tokens.has_value());
        }
        EXPECT_FALSE(std::filesystem::exists(run.Path("brontalhao.ini"))); // no relay started
    }
}

} // namespace
