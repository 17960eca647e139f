// The files that hold passwords: owner-only after every write, the settings replaced whole,
// the relay policy's keys kept after the nine of the account, and the relay core opening and
// saving its folder by itself, without a window.
#include "app/core/accounts.h"
#include "app/core/relay_core.h"
#include "app/core/string_list.h"
#include "platform/text_file.h"
#include "tests/support/temp_folder.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace app;
namespace fs = std::filesystem;

namespace {

struct Folder : testsupport::TempFolder {
    Folder() : TempFolder("settings") {}
};

fs::perms Mode(const std::string& path) {
    return fs::status(path).permissions() & fs::perms::all;
}

const fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

TEST(PolicySettings, DefaultsKeysAndRoundTrip) {
    Folder folder;
    std::string path = folder / "brontalnow.ini";
    EXPECT_EQ(ReadPolicy(path), (RelayPolicy{true, false}));
    ASSERT_TRUE(platform::WriteFileAtomically(
        path, "[smtpconfig]\r\nverifycert=0\r\nremoteclients=1\r\n", 0644));
    EXPECT_EQ(ReadPolicy(path), (RelayPolicy{false, true}));
    Account account = ReadSettings(path);
    ASSERT_TRUE(WriteSettings(path, account, RelayPolicy{false, true}));
    EXPECT_EQ(ReadPolicy(path), (RelayPolicy{false, true}));
    EXPECT_EQ(ReadPolicy(path).tlsMinimum, "1.2"); // TLS 1.2 unless the user lowers it
    RelayPolicy legacy{false, true, "1.0"};
    ASSERT_TRUE(WriteSettings(path, account, legacy));
    EXPECT_EQ(ReadPolicy(path), legacy);
    EXPECT_EQ(TlsVersionNumber("1.0"), 0x0301);
    EXPECT_EQ(TlsVersionNumber("1.2"), 0x0303);
    EXPECT_EQ(TlsVersionNumber("0.9 or so"), 0x0303); // never weaker than the default
    std::string text = *platform::ReadFileBytes(path);
    // Our keys stay where they were; the nine of the account follow in their order.
    EXPECT_EQ(text.rfind("[smtpconfig]\r\nverifycert=0\r\nremoteclients=1\r\nfrommail=", 0), 0u)
        << text;
    EXPECT_NE(text.find("\r\ntlsmin=1.0\r\n"), std::string::npos) << text;
}

TEST(PasswordFiles, OwnerOnlyAfterEveryWriteWhateverModeTheyHad) {
    Folder folder;
    std::string settings = folder / "brontalnow.ini";
    std::string accounts = folder / "brontalhao.ini";
    std::string good = folder / "good.ini";
    for (const std::string& path : {settings, accounts, good}) {
        ASSERT_TRUE(platform::WriteFileAtomically(path, "[smtpconfig]\r\n", 0644));
        ASSERT_EQ(Mode(path), fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read);
    }
    ASSERT_TRUE(WriteSettings(settings, Account{}));
    ASSERT_TRUE(SaveStringList(accounts, {"a|b"}, 0600, platform::FileMode::Always));
    ASSERT_TRUE(SaveStringList(good, {"line"}, 0644));
    EXPECT_EQ(Mode(settings), kOwnerOnly);
    EXPECT_EQ(Mode(accounts), kOwnerOnly);
    EXPECT_EQ(Mode(good), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read); // kept
    EXPECT_EQ(folder.Entries(), 3u);
}

TEST(PasswordFiles, AKillDuringTheSettingsWriteLeavesTheOldOrTheNewFileWhole) {
    Folder folder;
    std::string path = folder / "brontalnow.ini";
    Account first;
    first.mailbox = "first@mail.example";
    first.password = std::string(3000, 'p'); // a longer write widens the window for the kill
    Account second = first;
    second.mailbox = "second@mail.example";
    second.password = std::string(3000, 'q');
    ASSERT_TRUE(WriteSettings(path, second));
    std::string secondBytes = *platform::ReadFileBytes(path);
    fs::remove(path);
    ASSERT_TRUE(WriteSettings(path, first));
    std::string firstBytes = *platform::ReadFileBytes(path);

    std::mt19937 random(20261208);
    int killedMidWay = 0;
    for (int trial = 0; trial < 30; ++trial) {
        int warm[2];
        ASSERT_EQ(pipe(warm), 0);
        auto forked = std::chrono::steady_clock::now();
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(warm[0]);
            for (bool told = false;; told = true) {
                WriteSettings(path, second);
                WriteSettings(path, first);
                // The first pair of a forked child pays its copy-on-write faults (many
                // milliseconds under a sanitizer): kills timed from the fork all fell inside
                // it. Timed from its end, they fall anywhere in the loop.
                if (!told && write(warm[1], "w", 1) != 1) _exit(1);
            }
        }
        close(warm[1]);
        char byte = 0;
        ASSERT_EQ(read(warm[0], &byte, 1), 1) << "the writing child ended, trial " << trial;
        close(warm[0]);
        // Spread over the first pair's time, longer than a later pair's: however slow this
        // build and machine are, the kills land anywhere in at least one whole pair.
        auto firstPair = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - forked);
        auto span = std::clamp<useconds_t>(static_cast<useconds_t>(firstPair.count()), 3000, 50000);
        usleep(std::uniform_int_distribution<useconds_t>(0, span)(random));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        std::string now = platform::ReadFileBytes(path).value_or("unreadable");
        EXPECT_TRUE(now == firstBytes || now == secondBytes) << "trial " << trial;
        if (now == secondBytes) ++killedMidWay;
        // A kill in the microseconds between naming the whole file and the rename leaves that
        // name; the next write removes it.
        ASSERT_TRUE(WriteSettings(path, first));
        EXPECT_EQ(folder.Entries(), 1u) << "a temporary file stayed, trial " << trial;
    }
    EXPECT_GT(killedMidWay, 0); // the kills did land between the two writes of a pair
}

// A folder as a user leaves it: settings, an account list with bytes no GBK decoder reads,
// a success list over the limit and a failure list.
struct UsersFolder : Folder {
    const std::string accounts = "a@mail.example|smtp.example|25|sslno|tlsno|authyes|u|p|any\r\n"
                                 "odd\x81\x20\xff@mail.example|smtp.example|25|sslno|tlsno|"
                                 "authno|||any\r\n";
    const std::string failed = "one\r\ntwo\r\n";
    std::string relayed;
    UsersFolder() {
        for (int i = 0; i <= 500; ++i) relayed += "line " + std::to_string(i) + "\r\n";
        EXPECT_TRUE(platform::WriteFileAtomically(
            *this / "brontalnow.ini",
            "[smtpconfig]\r\nremoteclients=1\r\nfrommail=me@mail.example\r\n", 0644));
        EXPECT_TRUE(platform::WriteFileAtomically(*this / "brontalhao.ini", accounts, 0600));
        EXPECT_TRUE(platform::WriteFileAtomically(*this / "good.ini", relayed, 0600));
        EXPECT_TRUE(platform::WriteFileAtomically(*this / "bad.ini", failed, 0600));
    }
    RelayCoreOptions Options() const {
        RelayCoreOptions options;
        options.folder = path.string() + "/";
        options.workers = 1;
        return options;
    }
};

TEST(RelayFolder, TheCoreOpensArchivesAndSavesItsFilesWithoutAWindow) {
    UsersFolder folder;
    {
        RelayCore core(folder.Options());
        int accountListShown = 0;
        core.observers.accountListReplaced = [&] { ++accountListShown; };
        EXPECT_EQ(core.OpenFiles(), "");
        EXPECT_EQ(accountListShown, 1);
        EXPECT_EQ(core.AccountInForce().mailbox, "me@mail.example");
        EXPECT_TRUE(core.Policy().remoteClients);
        EXPECT_EQ(JoinLines(core.AccountList()), folder.accounts); // bytes as read
        EXPECT_EQ(core.Records(ListKind::Relayed).Count(), 501u);
        EXPECT_EQ(Mode(folder / "brontalnow.ini"), kOwnerOnly); // tightened when read
        core.ArchiveLongLists();
        EXPECT_EQ(core.Records(ListKind::Relayed).Count(), 0u);
        EXPECT_EQ(core.Records(ListKind::Failed).Count(), 2u);
        EXPECT_EQ(*platform::ReadFileBytes(folder / "good-archive.ini"), folder.relayed);
        StringList edited = core.AccountList();
        edited.push_back("b@mail.example|smtp.example|25|sslno|tlsno|authno|||any");
        core.SetAccountList(edited);
        core.Shutdown();
        EXPECT_EQ(core.SaveFiles(), "");
    }
    EXPECT_EQ(*platform::ReadFileBytes(folder / "brontalhao.ini"),
              folder.accounts + "b@mail.example|smtp.example|25|sslno|tlsno|authno|||any\r\n");
    EXPECT_EQ(*platform::ReadFileBytes(folder / "bad.ini"), folder.failed);
    EXPECT_EQ(platform::ReadFileBytes(folder / "good.ini")->size(), 0u);
    EXPECT_NE(platform::ReadFileBytes(folder / "brontalnow.ini")->find("remoteclients=1"),
              std::string::npos);
    for (const char* name : {"brontalnow.ini", "brontalhao.ini", "good.ini", "bad.ini"})
        EXPECT_EQ(Mode(folder / name), kOwnerOnly) << name;
}

TEST(RelayFolder, AListThatCannotBeReadAndThoseAfterItAreLeftAsTheyAre) {
    struct Case {
        const char* unreadable;
        std::vector<const char*> untouched;
    };
    for (const Case& test : {Case{"brontalhao.ini", {"good.ini", "bad.ini"}},
                             Case{"good.ini", {"bad.ini"}}, Case{"bad.ini", {}}}) {
        UsersFolder folder;
        for (const char* name : {"brontalnow.ini", "brontalhao.ini", "good.ini", "bad.ini"})
            ::chmod((folder / name).c_str(), 0644);
        ::chmod((folder / test.unreadable).c_str(), 0);
        RelayCore core(folder.Options());
        // Root reads anything: the files are read as nobody.
        if (geteuid() == 0) ::setfsuid(65534);
        std::string unreadable = core.OpenFiles();
        if (geteuid() == 0) ::setfsuid(0);
        EXPECT_EQ(unreadable, folder / test.unreadable);
        core.SetAccountList({"c@mail.example|smtp.example|25|sslno|tlsno|authno|||any"});
        core.LoadRecords(ListKind::Relayed, {"new"});
        core.LoadRecords(ListKind::Failed, {"new"});
        core.Shutdown();
        EXPECT_EQ(core.SaveFiles(), "");
        ::chmod((folder / test.unreadable).c_str(), 0600);
        std::string original = std::string(test.unreadable) == "brontalhao.ini" ? folder.accounts
                               : std::string(test.unreadable) == "good.ini"     ? folder.relayed
                                                                                : folder.failed;
        EXPECT_EQ(*platform::ReadFileBytes(folder / test.unreadable), original);
        for (const char* name : test.untouched) {
            std::string expected = std::string(name) == "good.ini" ? folder.relayed : folder.failed;
            EXPECT_EQ(*platform::ReadFileBytes(folder / name), expected) << test.unreadable;
        }
        // Those read before it are saved as the relay has them.
        if (std::string(test.unreadable) == "bad.ini") {
            EXPECT_EQ(*platform::ReadFileBytes(folder / "good.ini"), "new\r\n");
        }
    }
}

} // namespace
