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

InputText TextOf(const std::string& input, size_t pieceBytes = InputText::kPieceBytes) {
    InputText text(pieceBytes);
    text.Append(input.data(), input.size());
    return text;
}

int Prepare(const std::string& input, const Options& options, Prepared& prepared,
            std::string& error) {
    return PrepareMessage(TextOf(input), options, Someone(), prepared, error);
}

// The lines the message goes out with, read as the client and the spool read them.
std::vector<std::string> LinesOf(const Prepared& prepared) {
    std::vector<std::string> lines;
    PreparedLines source(prepared);
    for (std::string line; source.Next(line);) lines.push_back(line);
    return lines;
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
    struct Case {
        std::string input;
        bool dotEndsInput;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\r\nb\nc", true, {"a", "b", "c"}},          {"a\n.\nafter\n", true, {"a"}},
        {"a\n.\nafter\n", false, {"a", ".", "after"}}, {"a\n..x\n\n", true, {"a", "..x", ""}},
        {"\r\n\r\nend\r", false, {"", "", "end\r"}}, // a CR without its LF stays
        {"long line\r\nx", false, {"long line", "x"}},
    };
    // Whatever the pieces the input is held in, a line cut between them (its CR in one, its
    // LF in the next) reads whole.
    for (const Case& c : cases)
        for (size_t pieceBytes : {size_t(1), size_t(2), size_t(3), InputText::kPieceBytes}) {
            InputText text = TextOf(c.input, pieceBytes);
            std::vector<std::string> lines;
            InputLines reader(text, c.dotEndsInput);
            for (std::string line; reader.Next(line);) lines.push_back(line);
            EXPECT_EQ(lines, c.lines) << c.input << " in pieces of " << pieceBytes;
            EXPECT_EQ(text.Size(), c.input.size());
        }
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
    ASSERT_GE(LinesOf(prepared).size(), 6u);
    EXPECT_EQ(LinesOf(prepared)[0], "Subject: report");
    EXPECT_EQ(LinesOf(prepared)[1].rfind("Date: Wed, 09 Dec 2026 ", 0), 0u) << LinesOf(prepared)[1];
    EXPECT_EQ(LinesOf(prepared)[2], "Message-ID: <20261209120001.4242.vantrosmtp@pc.example>");
    EXPECT_EQ(LinesOf(prepared)[3], "From: \"Cron \\\"Daemon\\\"\" <kalvex@pc.example>");
    EXPECT_EQ(LinesOf(prepared)[4], "");
    EXPECT_EQ(LinesOf(prepared)[5], "body");
    EXPECT_EQ(prepared.recipients, std::vector<std::string>{"root"});

    std::string own = "From: me@x.example\nDate: Tue, 1 Dec 2026 10:00:00 +0800\n"
                      "Message-ID: <own@x.example>\n\nbody\n";
    ASSERT_EQ(Prepare(own, Parse({"a@b.example"}), prepared, error), kExitOk);
    EXPECT_EQ(LinesOf(prepared), (std::vector<std::string>{
                                     "From: me@x.example", "Date: Tue, 1 Dec 2026 10:00:00 +0800",
                                     "Message-ID: <own@x.example>", "", "body"}));

    // No header at all: the added ones stand before the text, parted from it.
    ASSERT_EQ(Prepare("just text\n", Parse({"a@b.example"}), prepared, error), kExitOk);
    ASSERT_EQ(LinesOf(prepared).size(), 5u);
    EXPECT_EQ(LinesOf(prepared)[2], "From: kalvex@pc.example");
    EXPECT_EQ(LinesOf(prepared)[3], "");
    EXPECT_EQ(LinesOf(prepared)[4], "just text");
}

TEST(SendmailMessage, TheTextIsReadFromTheInputAgainFromItsStartAndSizedAsItGoesOut) {
    // Small pieces: the header block and the body cross the pieces' borders.
    Prepared prepared;
    std::string error;
    Options options = Parse({"-t"});
    ASSERT_EQ(PrepareMessage(TextOf("To: a@b.example\r\nBcc: c@b.example\r\nbody at once\r\n"
                                    "second\r\n.\r\nafter the dot\r\n",
                                    3),
                             options, Someone(), prepared, error),
              kExitOk)
        << error;
    std::vector<std::string> lines = LinesOf(prepared);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "To: a@b.example");
    EXPECT_EQ(lines[4], ""); // the separator a body without one is given
    EXPECT_EQ(lines[5], "body at once");
    EXPECT_EQ(lines[6], "second");
    EXPECT_EQ(prepared.recipients, (std::vector<std::string>{"a@b.example", "c@b.example"}));
    PreparedLines source(prepared);
    long long size = 0;
    for (const std::string& line : lines) size += static_cast<long long>(line.size()) + 2;
    EXPECT_EQ(source.Size(), size);
    for (std::string line; source.Next(line);) {
    }
    ASSERT_TRUE(source.Rewind());
    std::vector<std::string> again;
    for (std::string line; source.Next(line);) again.push_back(line);
    EXPECT_EQ(again, lines);
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
    for (const std::string& line : LinesOf(prepared))
        EXPECT_EQ(line.find("secret@"), std::string::npos) << line;
    EXPECT_EQ(LinesOf(prepared)[0], "To: \"A, B\" <a@x.example>,");
    EXPECT_EQ(LinesOf(prepared)[1], "  c@x.example");
    EXPECT_EQ(LinesOf(prepared)[3], "Subject: t");
    EXPECT_EQ(LinesOf(prepared).back(), "Bcc: in body"); // the body is not a header

    // Without -t the header recipients are not added, and Bcc still never goes out.
    ASSERT_EQ(Prepare(input, Parse({"only@x.example"}), prepared, error), kExitOk);
    EXPECT_EQ(prepared.recipients, std::vector<std::string>{"only@x.example"});
    EXPECT_EQ(LinesOf(prepared)[3], "Subject: t");
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
    EXPECT_EQ(LinesOf(prepared)[0], "Subject: \xC4\xE3\xBA\xC3");
    EXPECT_EQ(LinesOf(prepared).back(), "\xCA\xC0\xBD\xE7");
}

} // namespace
