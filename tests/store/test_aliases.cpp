// Local names and their aliases: the file's syntax as /etc/aliases writes it, the user's file
// before the system's, names within names, loops, the mail domain, and addresses untouched.
#include "platform/text_file.h"
#include "store/aliases.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

using namespace store;

namespace {

struct AliasFiles : testsupport::TempFolder {
    AliasFiles() : TempFolder("aliases") {}
    Aliases Read(const std::string& mine, const std::string& system,
                 std::vector<std::string>* notes = nullptr) {
        EXPECT_TRUE(platform::WriteFileAtomically(*this / "aliases", mine, 0600));
        EXPECT_TRUE(platform::WriteFileAtomically(*this / "system", system, 0644));
        std::vector<std::string> dropped;
        Aliases aliases;
        aliases.Read(*this / "aliases", notes ? *notes : dropped);
        aliases.Read(*this / "system", notes ? *notes : dropped);
        aliases.Read(*this / "missing", notes ? *notes : dropped); // no file, no entry
        return aliases;
    }
};

TEST(Aliases, LocalNamesBecomeTheAddressesTheirAliasesGive) {
    AliasFiles files;
    std::vector<std::string> notes;
    Aliases aliases =
        files.Read("# mine\r\n"
                   "Root: admin\r\n"
                   "admin: me@corp.test,\r\n"
                   "\tboss@corp.test, \"Night Shift\"@corp.test\r\n"
                   "cmd: \"|/usr/bin/prog -x, -y\"\n"
                   "self: self, me@corp.test\n"
                   "ping: a-loop\na-loop: ping\n"
                   "logs: |/usr/bin/logger, /var/mail/logs, :include:/etc/list\n"
                   "no colon here\n",
                   "root: other@corp.test\npostmaster: root\nwww: nobody-here\n", &notes);
    struct Case {
        std::vector<std::string> recipients;
        std::string mailDomain;
        std::vector<std::string> resolved; // empty: refused
        const char* says;
    } cases[] = {
        // The user's root wins over the system's; names within names; case does not matter.
        {{"root"}, "", {"me@corp.test", "boss@corp.test", "\"Night Shift\"@corp.test"}, ""},
        {{"POSTMASTER", "me@corp.test"},
         "",
         {"me@corp.test", "boss@corp.test", "\"Night Shift\"@corp.test"},
         ""},
        // An address is never rewritten, whatever the aliases hold.
        {{"Root@Corp.Test", "admin@elsewhere.test"},
         "",
         {"Root@Corp.Test", "admin@elsewhere.test"},
         ""},
        // A name within its own expansion stands for its other addresses.
        {{"self"}, "", {"me@corp.test"}, ""},
        {{"ping"}, "", {}, "loop (ping -> a-loop -> ping)"},
        {{"www"}, "", {}, "\"nobody-here\" is a local name with no alias"},
        {{"www"}, "corp.test", {"nobody-here@corp.test"}, ""},
        {{"kalvex"}, "corp.test", {"kalvex@corp.test"}, ""},
        {{"kalvex"}, "", {}, "\"kalvex\" is a local name with no alias and no mail domain"},
        // Only commands, files and lists: nothing to relay to.
        {{"logs"}, "", {}, "\"logs\" is a local name with no alias"},
    };
    for (const Case& c : cases) {
        std::string problem;
        EXPECT_EQ(aliases.Resolve(c.recipients, c.mailDomain, problem), c.resolved)
            << c.recipients[0];
        EXPECT_NE(problem.find(c.says), std::string::npos) << c.recipients[0] << ": " << problem;
    }
    ASSERT_EQ(notes.size(), 5u);
    EXPECT_NE(notes[0].find("\"|/usr/bin/prog -x, -y\" delivers to a command"), std::string::npos)
        << notes[0];
    EXPECT_NE(notes[1].find("\"|/usr/bin/logger\" delivers to a command"), std::string::npos);
    EXPECT_NE(notes[4].find("\"no colon here\" is no \"name: address\" line"), std::string::npos);
}

TEST(Aliases, AChainDeeperThanTheGuardIsRefusedAndTheMailDomainIsReadFromTheSettings) {
    AliasFiles files;
    std::string chain;
    for (int i = 0; i < Aliases::kMaxDepth + 1; ++i)
        chain += "n" + std::to_string(i) + ": n" + std::to_string(i + 1) + "\n";
    Aliases aliases =
        files.Read(chain + "n" + std::to_string(Aliases::kMaxDepth + 1) + ": x@y.test\n", "");
    std::string problem;
    EXPECT_TRUE(aliases.Resolve({"n0"}, "", problem).empty());
    EXPECT_NE(problem.find("deeper than"), std::string::npos) << problem;
    EXPECT_EQ(aliases.Resolve({"n2"}, "", problem), std::vector<std::string>{"x@y.test"});

    ASSERT_TRUE(platform::WriteFileAtomically(
        files / "brontalnow.ini",
        "[smtpconfig]\r\nfrommail=me@corp.test\r\nmaildomain= corp.test \r\n", 0600));
    EXPECT_EQ(MailDomainIn(files / "brontalnow.ini"), "corp.test");
    EXPECT_EQ(MailDomainIn(files / "missing.ini"), "");
}

} // namespace
