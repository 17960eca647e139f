// Secrets from commands: the two settings sections, the fetch through a real shell command
// with its failures, and the core relaying through an account whose password a command
// prints, against python3-aiosmtpd, with the secret absent from every reason and journal line.
#include "app/core/credential_commands.h"
#include "app/core/oauth_token_store.h"
#include "platform/text_file.h"
#include "tests/app/core/core_harness.h"
#include "tests/support/peers.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/upstream.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace app;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// What the source gives: the secret, or the reason it could not.
struct Fetched {
    bool ok;
    std::string secret, reason;
};

Fetched Fetch(const std::string& command, std::chrono::milliseconds bound = 10s) {
    smtpclient::TSecretSource source = SecretSourceFor(
        {CredentialCommand::Kind::Password, command, nullptr}, "me@mail.example", bound);
    smtpclient::TSecretFetch got;
    Fetched fetched{};
    fetched.ok = source.fetch(got);
    fetched.secret = got.secret;
    fetched.reason = got.reason;
    return fetched;
}

TEST(CredentialCommands, TheSectionsAreReadAndATokenCommandThenASignInWinForTheirMailbox) {
    testsupport::TempFolder folder("credential-sections");
    std::string settings = (folder.path / "brontalnow.ini").string();
    ASSERT_TRUE(platform::WriteFileAtomically(
        settings,
        "[smtpconfig]\r\nfrommail=me@mail.example\r\n[secretcommand]\r\n"
        "Me@Mail.Example=secret-tool lookup service smtp user me\r\n"
        "pw@mail.example=secret-tool lookup service smtp user pw\r\n"
        "both@mail.example=pass show smtp\r\nempty@mail.example=\r\n"
        "[tokencommand]\r\nboth@mail.example=oauth-helper --print-token\r\n"
        "[oauth2]\r\nboth@mail.example=google\r\nme@mail.example=google\r\n"
        "office@mail.example=microsoft\r\n",
        0600));
    CredentialCommands commands = CredentialCommands::Read(settings);
    CredentialCommand signedIn = commands.For(" me@mail.example ");
    EXPECT_EQ(signedIn.kind, CredentialCommand::Kind::OAuth);
    ASSERT_NE(signedIn.oauth, nullptr);
    EXPECT_EQ(signedIn.oauth->Provider().name, "google");
    EXPECT_EQ(commands.For("office@mail.example").oauth->Provider().name, "microsoft");
    smtpclient::TSecretSource source = SecretSourceFor(signedIn, "me@mail.example");
    EXPECT_EQ(source.kind, smtpclient::TSecretSource::Kind::BearerToken);
    EXPECT_TRUE(source.refused);
    EXPECT_EQ(commands.For("pw@mail.example"),
              (CredentialCommand{CredentialCommand::Kind::Password,
                                 "secret-tool lookup service smtp user pw", nullptr}));
    EXPECT_EQ(
        commands.For("both@mail.example"),
        (CredentialCommand{CredentialCommand::Kind::Token, "oauth-helper --print-token", nullptr}));
    EXPECT_EQ(commands.For("empty@mail.example").kind, CredentialCommand::Kind::None);
    EXPECT_EQ(commands.For("other@mail.example").kind, CredentialCommand::Kind::None);
    EXPECT_EQ(
        CredentialCommands::Read((folder.path / "none.ini").string()).For("me@mail.example").kind,
        CredentialCommand::Kind::None);
    EXPECT_FALSE(SecretSourceFor({}, "me@mail.example")); // no command: the stored password
}

TEST(CredentialCommands, TheFirstLineIsTheSecretAndEveryFailureSaysWhyWithoutIt) {
    Fetched lines = Fetch("printf 'pa|ss word\\nsecond line\\n'");
    EXPECT_TRUE(lines.ok);
    EXPECT_EQ(lines.secret, "pa|ss word");

    Fetched failed = Fetch("echo s3cr3t; echo 'secret-tool: no such item' >&2; exit 2");
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.secret, "");
    EXPECT_EQ(failed.reason, "password command of me@mail.example failed: exit status 2; "
                             "standard error: secret-tool: no such item");

    Fetched nothing = Fetch("true");
    EXPECT_FALSE(nothing.ok);
    EXPECT_EQ(nothing.reason,
              "password command of me@mail.example printed nothing on its first line "
              "(exit status 0)");

    Fetched hung = Fetch("echo s3cr3t; sleep 30", 300ms);
    EXPECT_FALSE(hung.ok);
    EXPECT_EQ(hung.reason, "password command of me@mail.example failed: no answer within the "
                           "time bound (killed)");
    for (const Fetched& f : {failed, nothing, hung})
        EXPECT_EQ(f.reason.find("s3cr3t"), std::string::npos) << f.reason;
}

TEST(CredentialCommands, TheCoreRelaysWithTheCommandsPasswordAndAFailedCommandSendsNothing) {
    testsupport::Upstream upstream({"--user", "kalvex:from-keyring", "--auth-required"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    CoreHarness h(std::to_string(upstream.Port()), 1);
    Account account = h.core->AccountInForce();
    account.authenticate = true;
    account.user = "kalvex";
    account.password = "stale-stored-password";
    h.core->SetAccountInForce(account);
    CredentialCommands commands;
    commands.SetPassword("relay@mail.example", "printf 'from-keyring\\nignored\\n'");
    h.core->SetCredentialCommands(commands);
    Submitter client(h.port);
    EXPECT_EQ(client.Message("me@x.example", "you@y.example", "Subject: a\r\n\r\nbody\r\n"),
              "250 OK \r\n");
    ASSERT_TRUE(h.WaitForOutcomes(1));
    EXPECT_TRUE(h.outcomes[0].relayed) << h.outcomes[0].reason;
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages()[0].authUser, "kalvex");

    commands.SetPassword("relay@mail.example",
                         "echo from-keyring; echo 'keyring locked' >&2; exit 1");
    h.core->SetCredentialCommands(commands);
    client.Message("me@x.example", "you@y.example", "Subject: b\r\n\r\nbody\r\n");
    ASSERT_TRUE(h.WaitForOutcomes(2));
    EXPECT_FALSE(h.outcomes[1].relayed);
    EXPECT_EQ(h.outcomes[1].reason, "password command of relay@mail.example failed: exit status "
                                    "1; standard error: keyring locked");
    EXPECT_EQ(upstream.Messages().size(), 1u);
    ASSERT_EQ(h.journal.size(), 2u);
    EXPECT_NE(h.journal[1].find("reason=password command of relay@mail.example failed"),
              std::string::npos);
    for (const std::string& line : h.journal)
        EXPECT_EQ(line.find("from-keyring"), std::string::npos) << line;
    for (const DeliveryOutcome& outcome : h.outcomes)
        EXPECT_EQ(outcome.logLine.find("from-keyring"), std::string::npos);
}

// A desktop keyring of the test's own: a session bus, and gnome-keyring's Secret Service on
// it with a fresh, unlocked login keyring in `home`. Commands started after it find it
// through the bus address it puts into the environment.
//
// Nothing of it is shared with another test or with the user's own desktop. The bus has no
// service files, so a call that comes before the daemon has taken its name cannot start a
// second daemon through D-Bus activation (one without the login keyring, which answered
// "Object does not exist at path .../collection/login" for good). The daemon gets a runtime
// folder of its own, so that it never finds another daemon's control socket there and hands
// the unlock to that one instead, a real desktop's keyring included.
struct Keyring {
    bool ok = false;
    pid_t bus = -1;

    explicit Keyring(const std::string& home) {
        for (const char* tool : {"/usr/bin/dbus-daemon", "/usr/bin/dbus-send",
                                 "/usr/bin/gnome-keyring-daemon", "/usr/bin/secret-tool"})
            if (access(tool, X_OK) != 0) return;
        std::string config = home + "/bus.conf", runtime = home + "/run";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        if (!platform::WriteFileAtomically(config, kBusConfig, 0600)) return;
        auto started = testsupport::RunProcess({"/usr/bin/dbus-daemon", "--config-file=" + config,
                                                "--fork", "--print-address=1", "--print-pid=1"},
                                               "", 10000);
        std::string address = started.output.substr(0, started.output.find('\n'));
        bus = std::atoi(started.output.substr(address.size() + 1).c_str());
        if (started.exitCode != 0 || address.empty() || bus <= 0) return;
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        auto keyring = testsupport::RunProcess(
            {"/usr/bin/env", "HOME=" + home, "XDG_RUNTIME_DIR=" + runtime,
             "/usr/bin/gnome-keyring-daemon", "--unlock", "--components=secrets"},
            "unlock-password", 10000);
        if (keyring.exitCode != 0) return;
        // The daemon takes its bus name after the command that started it has returned. Asked
        // of the bus, not through libsecret: this process's proxy, made before the name had an
        // owner, would not learn of it without a GLib loop running.
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!(ok = ServiceNameOwned()) && std::chrono::steady_clock::now() < deadline)
            usleep(50 * 1000);
    }
    static bool ServiceNameOwned() {
        auto asked = testsupport::RunProcess(
            {"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
             "string:org.freedesktop.secrets"},
            "", 10000);
        return asked.exitCode == 0 && asked.output.find("boolean true") != std::string::npos;
    }
    // Stores a secret in the session collection, which the daemon has from its start: the
    // login collection appears some time after the daemon answers (seconds, under load), and
    // a lookup searches every collection anyway. A store that finds no collection yet is
    // tried again, for up to five seconds.
    testsupport::ProcessResult Store(const std::vector<std::string>& attributes,
                                     const std::string& secret) const {
        std::vector<std::string> argv = {
            "/usr/bin/secret-tool", "store", "--label=VantroSMTP",
            "--collection=/org/freedesktop/secrets/collection/session"};
        argv.insert(argv.end(), attributes.begin(), attributes.end());
        testsupport::ProcessResult stored;
        for (int attempt = 0; attempt < 50; ++attempt) {
            stored = testsupport::RunProcess(argv, secret, 10000);
            if (stored.exitCode == 0 || stored.output.find("does not exist") == std::string::npos)
                break;
            usleep(100 * 1000);
        }
        return stored;
    }
    ~Keyring() {
        // gnome-keyring leaves with the bus it serves.
        if (bus > 0) kill(bus, SIGTERM);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

    static constexpr const char* kBusConfig =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:tmpdir=/tmp</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n"
        "  </policy>\n"
        "</busconfig>\n";
};

TEST(CredentialCommands, APasswordKeptInTheDesktopKeyringIsLookedUpWithSecretTool) {
    testsupport::TempFolder home("keyring-home");
    Keyring keyring(home.path.string());
    VANTRO_NEED_PEER(keyring.ok, "no Secret Service could be started (dbus, gnome-keyring)");
    auto stored = keyring.Store({"service", "smtp", "user", "kalvex"}, "from-keyring");
    ASSERT_EQ(stored.exitCode, 0) << stored.output;
    Fetched looked = Fetch("secret-tool lookup service smtp user kalvex");
    EXPECT_TRUE(looked.ok) << looked.reason;
    EXPECT_EQ(looked.secret, "from-keyring");
    Fetched missing = Fetch("secret-tool lookup service smtp user nobody");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.reason.rfind("password command of me@mail.example ", 0), 0u);
}

// A sign-in's refresh token goes to the desktop keyring when one answers, under the program's
// and the mailbox's names, and to the owner-only file when none does.
TEST(CredentialCommands, ASignInIsKeptInTheDesktopKeyringOrElseInTheUsersFile) {
    testsupport::TempFolder home("signin-keyring-home");
    testsupport::TempFolder files("signin-files");
    std::string folder = files.path.string() + "/";
    {
        Keyring keyring(home.path.string());
        VANTRO_NEED_PEER(keyring.ok, "no Secret Service could be started (dbus, gnome-keyring)");
        std::shared_ptr<TokenStore> store = UsersTokenStore(folder);
        EXPECT_EQ(store->Where(), "the desktop keyring");
        std::string reason;
        // The daemon's default collection appears some time after it answers: seconds on a
        // loaded machine.
        bool saved = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!saved && std::chrono::steady_clock::now() < deadline) {
            saved = store->Save("Me@X.example", "rt-in-keyring", reason);
            if (!saved) usleep(100 * 1000);
        }
        ASSERT_TRUE(saved) << "the keyring took no sign-in within 30 s: " << reason;
        EXPECT_EQ(store->Load("me@x.example", reason).value_or(""), "rt-in-keyring") << reason;
        auto looked = testsupport::RunProcess(
            {"/usr/bin/secret-tool", "lookup", "program", "vantrosmtp", "mailbox", "me@x.example"},
            "", 10000);
        EXPECT_EQ(looked.output, "rt-in-keyring");
        EXPECT_FALSE(store->Load("other@x.example", reason));
        EXPECT_EQ(reason, "no sign-in of other@x.example in the desktop keyring");
        EXPECT_FALSE(fs::exists(files.path / "oauth2-tokens"));
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string keptRuntime = runtime ? runtime : "";
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(SecretServiceAnswers());
    std::shared_ptr<TokenStore> store = UsersTokenStore(folder);
    if (runtime) setenv("XDG_RUNTIME_DIR", keptRuntime.c_str(), 1);
    EXPECT_EQ(store->Where(), folder + "oauth2-tokens");
    std::string reason;
    ASSERT_TRUE(store->Save("me@x.example", "rt-in-file", reason)) << reason;
    EXPECT_EQ(*platform::ReadFileBytes(folder + "oauth2-tokens"), "me@x.example=rt-in-file\n");
}

} // namespace
