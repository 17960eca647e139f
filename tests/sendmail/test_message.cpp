// The sendmail command's options and the message it makes of its input: what sendmail's
// callers pass and expect an MTA to do (headers added, Bcc removed, -t recipients).
#include "sendmail/arguments.h"
#include "sendmail/message.h"
#include "sendmail/options.h"
#include "smtpclient/codecs.h"

#include <gtest/gtest.h>

using namespace sendmail;

namespace {

Options Parse(const std::vector<std::string>& arguments) {
    std::string error;
    auto options = ParseOptions(arguments, error);
    EXPECT_TRUE(options) << error;
    return options.value_or(Options{});
}

Identity Someone() {
    Identity identity;
    identity.sender = "kalvex@pc.example";
    identity.hostName = "pc.example";
    identity.now = 1796817601; // 2026-12-09 12:00:01 UTC: the same day in every time zone
    identity.uniquifier = 4242;
    return identity;
}

int Prepare(const std::string& input, const Options& options, Prepared& prepared,
            std::string& error) {
    return PrepareMessage(input, options, Someone(), prepared, error);
}

TEST(SendmailOptions, WhatCallersPassIsAcceptedAndTheRestIsAUsageError) {
    Options cron = Parse({"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"});
    EXPECT_EQ(cron.fullName, "CronDaemon");
    EXPECT_FALSE(cron.dotEndsInput);
    EXPECT_EQ(cron.recipients, std::vector<std::string>{"root"});

    Options git = Parse({"-i", "-f", "me@x.example", "-odi", "-oi", "--", "-dash@x.example"});
    EXPECT_EQ(git.sender, "me@x.example");
    EXPECT_EQ(git.recipients, std::vector<std::string>{"-dash@x.example"});

    Options php = Parse({"-t", "-rphp@x.example"});
    EXPECT_TRUE(php.recipientsFromHeaders);
    EXPECT_EQ(php.sender, "php@x.example");
    EXPECT_TRUE(php.recipients.empty());
    EXPECT_TRUE(php.dotEndsInput);
    EXPECT_EQ(Parse({"-bp"}).mode, Options::Mode::ListQueue);

    std::string error;
    EXPECT_FALSE(ParseOptions({"-x", "a@b"}, error));
    EXPECT_EQ(error, "unknown option -x");
    EXPECT_FALSE(ParseOptions({"-f"}, error));
    EXPECT_EQ(error, "option -f needs a value");
    EXPECT_FALSE(ParseOptions({"-bd"}, error));
}

TEST(SendmailOptions, ArgumentsThatWouldWriteLinesOfTheirOwnAreRefused) {
    struct Case {
        std::vector<std::string> arguments;
        const char* says; // empty: taken
    } cases[] = {
        {{"root"}, ""},
        {{"-f", "me@corp.test", "a@d.test, Bob <b@d.test>"}, ""},
        {{"-f", "<>", "a@d.test"}, ""},
        {{"-F", "Zhang \"Wei\"", "a@d.test"}, ""},
        {{"-f", "me@corp.test\r\nevil@attacker.test", "a@d.test"}, "the sender (-f)"},
        {{"-r", "me@corp.test\t", "a@d.test"}, "control character"},
        {{"-f", "me@@corp.test", "a@d.test"}, "the sender (-f) \"me@@corp.test\""},
        {{"-F", "Bob\nReply-To: evil@attacker.test", "a@d.test"}, "the full name (-F)"},
        {{"a@d.test\r\nRCPT TO:<evil@attacker.test>"}, "the recipient"},
        {{"a@d.test\x7f"}, "control character"},
        {{"a b@d.test"}, "the recipient \"a b@d.test\""},
        {{"ok@d.test, bad@@d.test"}, "the recipient \"bad@@d.test\""},
    };
    for (const Case& c : cases) {
        std::string error;
        int status = CheckArguments(Parse(c.arguments), error);
        if (*c.says == '\0') {
            EXPECT_EQ(status, kExitOk) << c.arguments.back() << ": " << error;
        } else {
            EXPECT_EQ(status, kExitUsage) << c.arguments.back();
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
        }
    }
}

TEST(SendmailMessage, AFullNameOutsideAsciiIsEncodedInWholeWordsOfSeventyFiveAtMost) {
    EXPECT_EQ(DisplayName("Cron \"Daemon\" \\"), "\"Cron \\\"Daemon\\\" \\\\\"");
    // Forty characters of three bytes: words of whole characters that decode back.
    std::string chinese;
    for (int i = 0; i < 40; ++i) chinese += "\xE5\xBC\xA0"; // 张
    for (const std::string& name : {std::string("\xE5\xBC\xA0\xE4\xBC\x9F"), chinese}) {
        std::string words = DisplayName(name), decoded;
        for (size_t start = 0; start < words.size();) {
            size_t end = words.find(' ', start);
            std::string word = words.substr(start, end == std::string::npos ? end : end - start);
            EXPECT_LE(word.size(), 75u) << word;
            ASSERT_EQ(word.rfind("=?UTF-8?B?", 0), 0u) << word;
            ASSERT_EQ(word.substr(word.size() - 2), "?=");
            std::string piece = codecs::Base64Decode(word.substr(10, word.size() - 12));
            EXPECT_EQ(piece.size() % 3, 0u) << "a character cut between words";
            decoded += piece;
            start = end == std::string::npos ? words.size() : end + 1;
        }
        EXPECT_EQ(decoded, name);
    }
    // GBK bytes from a caller's legacy locale are no UTF-8: labelled as such, not guessed.
    EXPECT_EQ(DisplayName("\xD5\xC5").rfind("=?unknown-8bit?B?", 0), 0u);
}

TEST(SendmailMessage, InputLinesEndAtLfAndADotEndsThemUnlessToldOtherwise) {
    EXPECT_EQ(SplitInput("a\r\nb\nc", true), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(SplitInput("a\n.\nafter\n", true), (std::vector<std::string>{"a"}));
    EXPECT_EQ(SplitInput("a\n.\nafter\n", false), (std::vector<std::string>{"a", ".", "after"}));
    EXPECT_EQ(SplitInput("a\n..x\n\n", true), (std::vector<std::string>{"a", "..x", ""}));
}

TEST(SendmailMessage, AddressListsGiveTheirAddresses) {
    EXPECT_EQ(AddressesIn(" \"Wei, Zhang\" <zhang@corp.example>, boss@corp.example (the boss)"),
              (std::vector<std::string>{"zhang@corp.example", "boss@corp.example"}));
    EXPECT_EQ(AddressesIn("team: a@x.example, b@x.example;"),
              (std::vector<std::string>{"a@x.example", "b@x.example"}));
    EXPECT_TRUE(AddressesIn("undisclosed-recipients:;").empty());
    EXPECT_EQ(AddressesIn("a@x.example,a@x.example"), std::vector<std::string>{"a@x.example"});
}

TEST(SendmailMessage, MissingHeadersAreAddedAndPresentOnesKept) {
    Prepared prepared;
    std::string error;
    ASSERT_EQ(Prepare("Subject: report\n\nbody\n", Parse({"-F", "Cron \"Daemon\"", "root"}),
                      prepared, error),
              kExitOk);
    ASSERT_GE(prepared.lines.size(), 6u);
    EXPECT_EQ(prepared.lines[0], "Subject: report");
    EXPECT_EQ(prepared.lines[1].rfind("Date: Wed, 09 Dec 2026 ", 0), 0u) << prepared.lines[1];
    EXPECT_EQ(prepared.lines[2], "Message-ID: <20261209120001.4242.vantrosmtp@pc.example>");
    EXPECT_EQ(prepared.lines[3], "From: \"Cron \\\"Daemon\\\"\" <kalvex@pc.example>");
    EXPECT_EQ(prepared.lines[4], "");
    EXPECT_EQ(prepared.lines[5], "body");
    EXPECT_EQ(prepared.recipients, std::vector<std::string>{"root"});

    std::string own = "From: me@x.example\nDate: Tue, 1 Dec 2026 10:00:00 +0800\n"
                      "Message-ID: <own@x.example>\n\nbody\n";
    ASSERT_EQ(Prepare(own, Parse({"a@b.example"}), prepared, error), kExitOk);
    EXPECT_EQ(prepared.lines, (std::vector<std::string>{
                                  "From: me@x.example", "Date: Tue, 1 Dec 2026 10:00:00 +0800",
                                  "Message-ID: <own@x.example>", "", "body"}));

    // No header at all: the added ones stand before the text, parted from it.
    ASSERT_EQ(Prepare("just text\n", Parse({"a@b.example"}), prepared, error), kExitOk);
    ASSERT_EQ(prepared.lines.size(), 5u);
    EXPECT_EQ(prepared.lines[2], "From: kalvex@pc.example");
    EXPECT_EQ(prepared.lines[3], "");
    EXPECT_EQ(prepared.lines[4], "just text");
}

TEST(SendmailMessage, WithTTheHeadersGiveTheRecipientsAndBccNeverGoesOut) {
    std::string input = "To: \"A, B\" <a@x.example>,\n  c@x.example\nCc: d@x.example\n"
                        "Bcc: hidden@x.example,\n\tsecret@x.example\nSubject: t\n\nBcc: in body\n";
    Prepared prepared;
    std::string error;
    ASSERT_EQ(Prepare(input, Parse({"-t", "extra@x.example"}), prepared, error), kExitOk);
    EXPECT_EQ(prepared.recipients,
              (std::vector<std::string>{"extra@x.example", "a@x.example", "c@x.example",
                                        "d@x.example", "hidden@x.example", "secret@x.example"}));
    for (const std::string& line : prepared.lines)
        EXPECT_EQ(line.find("secret@"), std::string::npos) << line;
    EXPECT_EQ(prepared.lines[0], "To: \"A, B\" <a@x.example>,");
    EXPECT_EQ(prepared.lines[1], "  c@x.example");
    EXPECT_EQ(prepared.lines[3], "Subject: t");
    EXPECT_EQ(prepared.lines.back(), "Bcc: in body"); // the body is not a header

    // Without -t the header recipients are not added, and Bcc still never goes out.
    ASSERT_EQ(Prepare(input, Parse({"only@x.example"}), prepared, error), kExitOk);
    EXPECT_EQ(prepared.recipients, std::vector<std::string>{"only@x.example"});
    EXPECT_EQ(prepared.lines[3], "Subject: t");
}

TEST(SendmailMessage, BadInputGetsItsExitStatus) {
    Prepared prepared;
    std::string error;
    EXPECT_EQ(Prepare("", Parse({"a@b.example"}), prepared, error), kExitBadMessage);
    EXPECT_EQ(
        Prepare(std::string("Subject: x\n\na\0b\n", 15), Parse({"a@b.example"}), prepared, error),
        kExitBadMessage);
    EXPECT_EQ(error, "the message holds a NUL byte, which SMTP cannot carry");
    EXPECT_EQ(Prepare("Subject: x\n\nbody\n", Parse({}), prepared, error), kExitNoRecipients);
    EXPECT_EQ(Prepare("To: undisclosed-recipients:;\n\nbody\n", Parse({"-t"}), prepared, error),
              kExitNoRecipients);
    // A lone CR in a -t header's address would end the spool file's recipient line early.
    EXPECT_EQ(
        Prepare("To: a@b.example\revil@attacker.test\n\nbody\n", Parse({"-t"}), prepared, error),
        kExitBadMessage);
    EXPECT_NE(error.find("in the message's headers is refused"), std::string::npos) << error;
    // Eight-bit text passes unchanged.
    ASSERT_EQ(Prepare("Subject: \xC4\xE3\xBA\xC3\n\n\xCA\xC0\xBD\xE7\n", Parse({"a@b.example"}),
                      prepared, error),
              kExitOk);
    EXPECT_EQ(prepared.lines[0], "Subject: \xC4\xE3\xBA\xC3");
    EXPECT_EQ(prepared.lines.back(), "\xCA\xC0\xBD\xE7");
}

} // namespace
