// The sendmail command against the shipped program relaying to python3-aiosmtpd, called as
// real callers call it (Python's subprocess with -t, a cron-style call, s-nail, git
// send-email), and with no relay running: the message waits in the spool and goes out once at
// the next start. Bad input gets its exit status and leaves nothing in the spool.
#include "platform/ini_profile.h"
#include "platform/text_file.h"
#include "store/retry_schedule.h"
#include "tests/app/program_run.h"
#include "tests/support/process.h"
#include "tests/support/upstream.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using testsupport::ProgramRun;
using testsupport::RunProcess;
using testsupport::Upstream;

namespace {

// The relay's program with the command beside it, relaying to `upstream`.
struct Relay {
    ProgramRun run;
    std::string command;

    Relay(const std::string& name, const Upstream& upstream) : run(name) {
        command = run.Path("vantrosmtp-sendmail");
        std::filesystem::copy_file(VANTRO_SENDMAIL, command);
        run.UseUpstream(upstream.Port());
        setenv("VANTRO_TEST_PORT", std::to_string(run.port).c_str(), 1);
    }
    testsupport::ProcessResult Sendmail(const std::vector<std::string>& arguments,
                                        const std::string& input = "") const {
        std::vector<std::string> argv = {command};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunProcess(argv, input, 30000);
    }
    // Files in the spool other than the emptied ones the relay keeps for reuse.
    std::vector<std::string> SpoolFiles() const {
        std::vector<std::string> names;
        if (std::filesystem::exists(run.dir / "spool"))
            for (const auto& entry : std::filesystem::directory_iterator(run.dir / "spool"))
                if (entry.path().filename().string().rfind("free-", 0) != 0)
                    names.push_back(entry.path().filename().string());
        return names;
    }
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(SendmailCommand, RealCallersReachTheRelayWithTheirEnvelopesAndHeaders) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    Relay relay("callers", upstream);
    ASSERT_EQ(relay.run.Start().substr(0, 3), "220");

    // Python's subprocess, recipients from the headers.
    const char* script = R"PY(
import subprocess, sys
text = "To: a@x.example\nCc: \"B, b\" <b@x.example>\nBcc: hidden@x.example\nSubject: py\n\n.leading dot\nbody\n"
sys.exit(subprocess.run([sys.argv[1], "-t", "-i"], input=text.encode()).returncode)
)PY";
    auto python = RunProcess({"/usr/bin/python3", "-c", script, relay.command}, "", 30000);
    EXPECT_EQ(python.exitCode, 0) << python.output;
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    auto first = upstream.Messages()[0];
    EXPECT_EQ(first.recipients,
              (std::vector<std::string>{"a@x.example", "b@x.example", "hidden@x.example"}));
    EXPECT_FALSE(Has(first.content, "hidden@")) << first.content;
    EXPECT_TRUE(Has(first.content, "\r\nDate: ")) << first.content;
    EXPECT_TRUE(Has(first.content, "\r\nMessage-ID: <")) << first.content;
    EXPECT_TRUE(Has(first.content, "\r\n\r\n.leading dot\r\nbody\r\n")) << first.content;

    // cron's call.
    auto cron = relay.Sendmail({"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root@localhost"},
                               "Subject: Cron <root@pc> run-parts\n\n\xC4\xE3\xBA\xC3\n");
    EXPECT_EQ(cron.exitCode, 0) << cron.output;
    ASSERT_TRUE(upstream.WaitForMessages(2, 10000));
    auto second = upstream.Messages()[1];
    EXPECT_EQ(second.recipients, std::vector<std::string>{"root@localhost"});
    EXPECT_TRUE(Has(second.content, "From: \"CronDaemon\" <")) << second.content;
    EXPECT_TRUE(Has(second.content, "\r\n\r\n\xC4\xE3\xBA\xC3\r\n")); // 8-bit unchanged

    // s-nail (mailx) with the command as its MTA.
    auto mailx = RunProcess({"/usr/bin/s-nail", "-n", "-S", "mta=" + relay.command, "-S",
                             "sendwait", "-s", "mailx subject", "c@x.example"},
                            "sent by mailx\n", 30000);
    EXPECT_EQ(mailx.exitCode, 0) << mailx.output;
    ASSERT_TRUE(upstream.WaitForMessages(3, 10000));
    auto third = upstream.Messages()[2];
    EXPECT_EQ(third.recipients, std::vector<std::string>{"c@x.example"});
    EXPECT_TRUE(Has(third.content, "Subject: mailx subject\r\n")) << third.content;
    EXPECT_TRUE(Has(third.content, "sent by mailx\r\n")) << third.content;

    // git send-email on a generated patch. The identity comes from the environment: a fresh
    // machine has no git configuration, and send-email asks for the committer's outside -c.
    std::string repo = relay.run.Path("repo");
    std::string git = "cd " + repo +
                      " && export GIT_AUTHOR_NAME=T GIT_AUTHOR_EMAIL=t@x.example "
                      "GIT_COMMITTER_NAME=T GIT_COMMITTER_EMAIL=t@x.example && git init -q && "
                      "git commit -q --allow-empty -m first && echo a > f && "
                      "git add f && git commit -q -m 'add f' && git format-patch -q -1 -o out && "
                      "git send-email --quiet "
                      "--sendmail-cmd=" +
                      relay.command +
                      " --to=maintainer@x.example --from='T <t@x.example>' --confirm=never "
                      "--suppress-cc=all out/*.patch";
    std::filesystem::create_directories(repo);
    auto patch = RunProcess({"/bin/sh", "-c", git}, "", 60000);
    EXPECT_EQ(patch.exitCode, 0) << patch.output;
    ASSERT_TRUE(upstream.WaitForMessages(4, 10000));
    auto fourth = upstream.Messages()[3];
    EXPECT_EQ(fourth.recipients, std::vector<std::string>{"maintainer@x.example"});
    EXPECT_TRUE(Has(fourth.content, "Subject: [PATCH] add f\r\n")) << fourth.content;
    EXPECT_TRUE(Has(fourth.content, "+a\r\n")) << fourth.content;

    // A 20 MB message.
    std::string large = "Subject: large\n\n";
    while (large.size() < 20 * 1024 * 1024) large += std::string(998, 'x') + "\n";
    auto big = relay.Sendmail({"big@x.example"}, large);
    EXPECT_EQ(big.exitCode, 0) << big.output;
    ASSERT_TRUE(upstream.WaitForMessages(5, 60000));
    EXPECT_GT(upstream.Messages()[4].content.size(), 20u * 1024 * 1024);
}

TEST(SendmailCommand, MailForRootReachesAPersonThroughTheAliasesOrIsRefusedWithTheHint) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    Relay relay("root", upstream);
    ASSERT_EQ(relay.run.Start().substr(0, 3), "220");
    ASSERT_TRUE(platform::WriteFileAtomically(relay.run.Path("aliases"),
                                              "# the user's\nroot: admin\nadmin: me@corp.test\n"
                                              "ping: pong\npong: ping\n",
                                              0600));
    ASSERT_TRUE(platform::WriteFileAtomically(relay.run.Path("system-aliases"),
                                              "root: other@corp.test\npostmaster: root\n", 0644));
    setenv("VANTRO_TEST_SYSTEM_ALIASES", relay.run.Path("system-aliases").c_str(), 1);
    struct Case {
        std::string recipient;
        int status;
        std::vector<std::string> delivered; // or what the refusal says
    } cases[] = {
        {"root", 0, {"me@corp.test"}},       // the user's root before the system's
        {"postmaster", 0, {"me@corp.test"}}, // the system's name, the user's alias
        {"kalvex",
         67,
         {"\"kalvex\" is a local name with no alias", "root: you@example.org",
          relay.run.Path("aliases"), "maildomain="}},
        {"ping", 67, {"loop (ping -> pong -> ping)"}},
    };
    size_t messages = 0;
    for (const Case& c : cases) {
        auto result = relay.Sendmail({c.recipient}, "Subject: cron\n\nran\n");
        EXPECT_EQ(result.exitCode, c.status) << c.recipient << ": " << result.output;
        if (c.status == 0) {
            ASSERT_TRUE(upstream.WaitForMessages(++messages, 10000)) << c.recipient;
            EXPECT_EQ(upstream.Messages().back().recipients, c.delivered) << c.recipient;
            continue;
        }
        for (const std::string& part : c.delivered)
            EXPECT_TRUE(Has(result.output, part)) << c.recipient << ": " << result.output;
    }
    // With a mail domain, a name without an alias is a mailbox of it.
    platform::IniProfile(relay.run.Path("brontalnow.ini"), "smtpconfig")
        .WriteString("maildomain", "corp.test");
    auto named = relay.Sendmail({"kalvex"}, "Subject: cron\n\nran\n");
    EXPECT_EQ(named.exitCode, 0) << named.output;
    ASSERT_TRUE(upstream.WaitForMessages(++messages, 10000));
    EXPECT_EQ(upstream.Messages().back().recipients, std::vector<std::string>{"kalvex@corp.test"});
    unsetenv("VANTRO_TEST_SYSTEM_ALIASES");
}

TEST(SendmailCommand, WithNoRelayRunningTheMessageWaitsAndGoesOutOnceAtTheNextStart) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    Relay relay("waiting", upstream);
    // Before any relay started with these files there is no spool to wait in: refused, and
    // nothing made.
    auto early = relay.Sendmail({"early@x.example"}, "Subject: early\n\nx\n");
    EXPECT_EQ(early.exitCode, 75) << early.output;
    EXPECT_TRUE(Has(early.output, "no relay has started with these files")) << early.output;
    EXPECT_FALSE(std::filesystem::exists(relay.run.dir / "spool"));
    ASSERT_EQ(relay.run.Start().substr(0, 3), "220");
    ASSERT_TRUE(relay.run.Terminate());
    auto empty = relay.Sendmail({"-bp"});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.output, "Mail queue is empty\n");
    // Called as mailq (the MTA package's link) it lists the queue too.
    std::filesystem::create_symlink("vantrosmtp-sendmail", relay.run.dir / "mailq");
    EXPECT_EQ(RunProcess({relay.run.Path("mailq")}, "", 10000).output, "Mail queue is empty\n");

    auto sent = relay.Sendmail({"-f", "me@x.example", "later@x.example"}, "Subject: later\n\nx\n");
    EXPECT_EQ(sent.exitCode, 0) << sent.output;
    EXPECT_TRUE(Has(sent.output, "the relay is not running; the message waits in ")) << sent.output;
    auto listed = relay.Sendmail({"-bp"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(Has(listed.output, "waiting  <me@x.example> -> later@x.example")) << listed.output;
    ASSERT_EQ(relay.SpoolFiles().size(), 1u);
    // A message the relay deferred says when it goes next and why it waits (this one is due
    // already, so the start below sends it at once).
    std::string id = relay.SpoolFiles()[0].substr(0, relay.SpoolFiles()[0].find('.'));
    store::RetryState retry{2, store::WallClock::time_point(std::chrono::seconds(1000)),
                            store::WallClock::time_point(std::chrono::seconds(4600)),
                            "greeting refused: 421 4.3.2 Service not available"};
    ASSERT_TRUE(platform::WriteFileAtomically((relay.run.dir / "spool" / (id + ".retry")).string(),
                                              store::FormatRetryRecord(retry), 0600));
    EXPECT_TRUE(Has(relay.Sendmail({"-bp"}).output,
                    "waiting  <me@x.example> -> later@x.example  deferred, attempt 2, next " +
                        store::LocalTimeText(retry.next) +
                        ", reason: greeting refused: 421 4.3.2 Service not available"))
        << relay.Sendmail({"-bp"}).output;

    ASSERT_EQ(relay.run.Start().substr(0, 3), "220");
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    EXPECT_TRUE(relay.run.Terminate());
    ASSERT_EQ(relay.run.Start().substr(0, 3), "220"); // a second start sends nothing again
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto messages = upstream.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].recipients, std::vector<std::string>{"later@x.example"});
    EXPECT_TRUE(Has(messages[0].content, "Subject: later\r\n"));
    EXPECT_EQ(relay.Sendmail({"-bp"}).output, "Mail queue is empty\n");
}

TEST(SendmailCommand, BadInputGetsItsStatusAndLeavesNothingInTheSpool) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    Relay relay("bad", upstream); // no relay running: a good message would be spooled
    struct Case {
        std::vector<std::string> arguments;
        std::string input;
        int status;
        const char* says;
    } cases[] = {
        {{"-q", "a@x.example"}, "Subject: x\n\nx\n", 64, "unknown option -q"},
        {{"a@x.example"}, "", 65, "empty message"},
        {{"a@x.example"}, std::string("Subject: x\n\na\0b\n", 15), 65, "NUL byte"},
        {{}, "Subject: x\n\nx\n", 67, "no recipients"},
        {{"-t"}, "Subject: x\n\nx\n", 67, "no recipients"},
        // Arguments that would write lines of their own into the envelope or the headers.
        {{"-f", "me@corp.test\r\nevil@attacker.test\r\n", "victim@d.test"},
         "Subject: x\n\nx\n",
         64,
         "the sender (-f)"},
        {{"-F", "Bob\r\nReply-To: evil@attacker.test", "victim@d.test"},
         "Subject: x\n\nx\n",
         64,
         "the full name (-F)"},
        {{"victim@d.test\r\nRCPT TO:<evil@attacker.test>"},
         "Subject: x\n\nx\n",
         64,
         "control character"},
        {{"a b@d.test"}, "Subject: x\n\nx\n", 64, "the recipient \"a b@d.test\""},
        {{"-t"}, "To: victim@d.test\revil@attacker.test\n\nx\n", 65, "headers"},
    };
    for (const Case& c : cases) {
        auto result = relay.Sendmail(c.arguments, c.input);
        EXPECT_EQ(result.exitCode, c.status) << result.output;
        EXPECT_TRUE(Has(result.output, c.says)) << result.output;
        EXPECT_TRUE(relay.SpoolFiles().empty());
    }
}

TEST(SendmailCommand, ARefusalForGoodIsTold67ForARecipientAnd69OtherwiseAndA4xx75) {
    // The upstream stands where the relay would: what it answers is what the command reads.
    Upstream refusing({"--refuse-rcpt", "nobody@d.test", "--size", "400"});
    ASSERT_TRUE(refusing.Ok()) << refusing.Log();
    setenv("VANTRO_TEST_PORT", std::to_string(refusing.Port()).c_str(), 1);
    struct Case {
        std::string recipient, text;
        int status;
    } cases[] = {
        {"nobody@d.test", "Subject: x\n\nx\n", 67},
        {"someone@d.test", "Subject: x\n\n" + std::string(1000, 'x') + "\n", 69},
        {"someone@d.test", "Subject: x\n\nx\n", 0},
    };
    for (const Case& c : cases) {
        auto result = RunProcess({VANTRO_SENDMAIL, c.recipient}, c.text, 30000);
        EXPECT_EQ(result.exitCode, c.status) << c.recipient << ": " << result.output;
    }
    Upstream greylisting({"--greylist", "600"});
    ASSERT_TRUE(greylisting.Ok()) << greylisting.Log();
    setenv("VANTRO_TEST_PORT", std::to_string(greylisting.Port()).c_str(), 1);
    auto later = RunProcess({VANTRO_SENDMAIL, "someone@d.test"}, "Subject: x\n\nx\n", 30000);
    EXPECT_EQ(later.exitCode, 75) << later.output;
}

TEST(SendmailCommand, ItSpoolsOnlyWhereTheRelayReadsAndAnotherUsersMailGoesOverSmtp) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    Relay relay("users", upstream);
    ASSERT_EQ(relay.run.Start().substr(0, 3), "220");
    ASSERT_TRUE(relay.run.Terminate());
    // A spool that is a link to a folder anyone may write: the relay refuses it, so does the
    // command.
    std::filesystem::path elsewhere = relay.run.dir / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    std::filesystem::permissions(elsewhere, std::filesystem::perms::all);
    std::filesystem::remove_all(relay.run.dir / "spool");
    std::filesystem::create_directory_symlink(elsewhere, relay.run.dir / "spool");
    auto linked = relay.Sendmail({"a@x.example"}, "Subject: x\n\nx\n");
    EXPECT_EQ(linked.exitCode, 75) << linked.output;
    EXPECT_TRUE(Has(linked.output, "not a real folder")) << linked.output;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    std::filesystem::remove(relay.run.dir / "spool");

    if (geteuid() != 0) GTEST_SKIP() << "another user's call needs root to run it as nobody";
    std::filesystem::path home = relay.run.dir / "nobody-home";
    std::filesystem::create_directory(home);
    const char* ownHome = std::getenv("HOME");
    std::string savedHome = ownHome ? ownHome : "";
    setenv("HOME", home.c_str(), 1);
    auto asNobody = [&](const std::string& to) {
        return RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           relay.command, to},
                          "Subject: from cron\n\nx\n", 30000);
    };
    // The relay down: told, and no file anywhere (its spool is another user's, the caller's
    // own folder is not made).
    auto down = asNobody("a@x.example");
    EXPECT_EQ(down.exitCode, 75) << down.output;
    EXPECT_TRUE(Has(down.output, "the relay of the desktop user must run")) << down.output;
    EXPECT_TRUE(std::filesystem::is_empty(home));
    EXPECT_FALSE(std::filesystem::exists(relay.run.dir / "spool"));
    // The relay up: over SMTP, as any local program.
    ASSERT_EQ(relay.run.Start().substr(0, 3), "220");
    auto up = asNobody("b@x.example");
    EXPECT_EQ(up.exitCode, 0) << up.output;
    ASSERT_TRUE(upstream.WaitForMessages(1, 10000));
    EXPECT_EQ(upstream.Messages()[0].recipients, std::vector<std::string>{"b@x.example"});
    if (ownHome)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
}

TEST(SendmailCommand, TheQueueListingShowsWaitingAndFailedMessagesAndAnUnreadableSpool) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    Relay relay("listing", upstream);
    ASSERT_EQ(relay.run.Start().substr(0, 3), "220"); // the spool is the relay's to make
    ASSERT_TRUE(relay.run.Terminate());
    for (const char* to : {"one@x.example", "two@x.example"})
        ASSERT_EQ(relay.Sendmail({to}, "Subject: q\n\nx\n").exitCode, 0);
    auto files = relay.SpoolFiles();
    ASSERT_EQ(files.size(), 2u);
    std::sort(files.begin(), files.end());
    std::string failedId = files[1].substr(0, files[1].size() - 4);
    ASSERT_TRUE(platform::WriteFileAtomically(relay.run.Path("spool") + "/" + failedId + ".failed",
                                              "line\r\nRCPT TO:<two@x.example> refused: 550 no\r\n",
                                              0600));
    auto listed = relay.Sendmail({"-bp"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(Has(listed.output, "waiting  <")) << listed.output;
    EXPECT_TRUE(Has(listed.output, "failed  <")) << listed.output;
    EXPECT_TRUE(Has(listed.output, "reason: RCPT TO:<two@x.example> refused: 550 no\n"))
        << listed.output;
    EXPECT_EQ(std::count(listed.output.begin(), listed.output.end(), '\n'), 2);
    // A file the relay set aside is listed too, never as waiting.
    ASSERT_TRUE(
        platform::WriteFileAtomically(relay.run.Path("spool") + "/garbage.unreadable", "x", 0600));
    auto aside = relay.Sendmail({"-bp"});
    EXPECT_TRUE(Has(aside.output, "garbage  ")) << aside.output;
    EXPECT_TRUE(Has(aside.output, "unreadable: not a spooled message: ")) << aside.output;
    EXPECT_TRUE(Has(aside.output, "garbage.unreadable, never sent)\n")) << aside.output;
    EXPECT_EQ(std::count(aside.output.begin(), aside.output.end(), '\n'), 3);

    std::filesystem::remove_all(relay.run.dir / "spool");
    ASSERT_TRUE(platform::WriteFileAtomically(relay.run.Path("spool"), "not a folder", 0600));
    auto unreadable = relay.Sendmail({"-bp"});
    EXPECT_EQ(unreadable.exitCode, 75);
    EXPECT_TRUE(Has(unreadable.output, "cannot read the spool")) << unreadable.output;
    // And a message with neither relay nor spool is refused as temporary, not lost silently.
    auto nowhere = relay.Sendmail({"a@x.example"}, "Subject: x\n\nx\n");
    EXPECT_EQ(nowhere.exitCode, 75) << nowhere.output;
    EXPECT_TRUE(Has(nowhere.output, "spool cannot be written")) << nowhere.output;
}

} // namespace
