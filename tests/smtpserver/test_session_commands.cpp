#include "tests/smtpserver/fixture.h"

using namespace smtptest;

namespace {

TEST(SmtpGreeting, FirstLineIsHelloMessagePlusBannerOnOneLine) {
    ServerFixture f;
    RawClient c(f.port);
    EXPECT_EQ(c.Lines(1), kGreeting);
    f.server->HelloMessage = "";
    RawClient d(f.port);
    // An empty greeting text falls back to the default, sent without a second "220 ".
    EXPECT_EQ(d.Lines(1), "220  SMTP Server Ready.Welcome to TcpSrv\r\n");
    f.server->HelloMessage = "mail.example ESMTP";
    RawClient e(f.port);
    EXPECT_EQ(e.Lines(1), "220 mail.example ESMTPWelcome to TcpSrv\r\n");
}

TEST(SmtpHelo, OnlyHeloOpensTheSessionAndNamesThePeer) {
    ServerFixture f;
    RawClient c(f.port);
    c.Lines(1);
    EXPECT_EQ(c.Send("EHLO mypc\r\n"), "500 command not recognized\r\n");
    EXPECT_EQ(c.Send("QUIT\r\n"), "500 command not recognized\r\n");
    EXPECT_EQ(c.Send("HELO\r\n"), "501 Syntax error (missing domain name)\r\n");
    EXPECT_EQ(c.Send("HELO  mypc\r\n"), "501 Syntax error (missing domain name)\r\n");
    EXPECT_EQ(c.Send("helo mypc\r\n"), "250 OK User mypc from IP 127.0.0.1 is welcome\r\n");
    EXPECT_EQ(c.Send("NOOP\r\n"), "250 OK\r\n");
}

TEST(SmtpHelo, RefusedHeloIsAnsweredThenTheNextCommandEndsTheSession) {
    ServerFixture f;
    std::string named;
    f.server->OnUsername = [&](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                               const std::string& user, std::string& answer, bool& shouldClose) {
        named = user;
        answer = "ignored";
        shouldClose = true;
    };
    RawClient c(f.port);
    c.Lines(1);
    EXPECT_EQ(c.Send("HELO mypc\r\n"), "550 User mypc from IP127.0.0.1 is not allowed\r\n");
    EXPECT_EQ(named, "mypc");
    EXPECT_EQ(c.Send("MAIL FROM:<a@b.example>\r\n"),
              "550 mailbox unavailable or not logged in\r\n");
    EXPECT_TRUE(c.ClosedByServer());
    EXPECT_TRUE(f.senders.empty());
}

TEST(SmtpEnvelope, AddressesAreKeptAsGivenAndTheSequenceIsChecked) {
    ServerFixture f;
    RawClient c(f.port);
    c.Login();
    EXPECT_EQ(c.Send("RCPT TO:<early@x.example>\r\n"),
              "250 OK Send to <early@x.example> is allowed\r\n");
    EXPECT_EQ(c.Send("DATA\r\n"), "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n");
    EXPECT_EQ(c.Send("MAIL FROM:<>\r\n"), "503 Bad sequence of commands (missing FROM)\r\n");
    EXPECT_EQ(c.Send("mail from:<Zhang.Wei+tag@Corp.example> SIZE=100\r\n"), "250 OK\r\n");
    EXPECT_EQ(c.Send("RCPT TO:<>\r\n"), "503 Bad sequence of commands (missing Adress)\r\n");
    EXPECT_EQ(c.Send("RCPT TO: <boss+cc@x.example> NOTIFY=NEVER\r\n"),
              "250 OK Send to <boss+cc@x.example> is allowed\r\n");
    EXPECT_EQ(c.Send("RCPT TO:plain@x.example\r\n"),
              "250 OK Send to <plain@x.example> is allowed\r\n");
    // Case, plus signs and the parameters' end stay as they were; brackets go.
    ASSERT_EQ(f.senders, (std::vector<std::string>{"Zhang.Wei+tag@Corp.example"}));
    EXPECT_EQ(f.recipients, (std::vector<std::string>{"early@x.example", "boss+cc@x.example",
                                                      "plain@x.example"}));
}

TEST(SmtpEnvelope, AValidMailboxIsKeptWholeAndAnythingElseIsRefusedWithItsReason) {
    const struct {
        std::string argument, address, refusal;
    } cases[] = {
        {"<o'brien@d.test>", "o'brien@d.test", ""},
        {"<user=tag@d.test>", "user=tag@d.test", ""},
        {"<a/b@d.test>", "a/b@d.test", ""},
        {"<!#$%&*+-/=?^_`{|}~@d.test>", "!#$%&*+-/=?^_`{|}~@d.test", ""},
        {"<\"a b\"@d.test>", "\"a b\"@d.test", ""},
        {"<\"a,b@c\"@d.test>", "\"a,b@c\"@d.test", ""},
        {"<\"a\\\"b\"@d.test>", "\"a\\\"b\"@d.test", ""},
        {"<a@[192.0.2.1]>", "a@[192.0.2.1]", ""},
        {"<a@[IPv6:2001:db8::1]>", "a@[IPv6:2001:db8::1]", ""},
        {"<@relay.test,@b.test:a@d.test>", "a@d.test", ""},
        {"<root>", "root", ""}, // a local name, for the relay to resolve
        {"x@sub-domain.d.test", "x@sub-domain.d.test", ""},
        {"<\xD5\xC5@d.test>", "\xD5\xC5@d.test", ""},
        {"<a\rb@d.test>", "", "a control character in the address"},
        {"<a b@d.test>", "", "a space outside quotes"},
        {"a@d.test SIZE=10", "", "a space outside quotes"},
        {"<a@d.test", "", "no closing angle bracket"},
        {"a@d.test>", "", "an angle bracket without its pair"},
        {"<a@d.test>x", "", "text right after the closing angle bracket"},
        {"<a..b@d.test>", "", "a dot at an end of the local part or two in a row"},
        {"<.a@d.test>", "", "a dot at an end of the local part or two in a row"},
        {"<a@>", "", "nothing after the @"},
        {"<@d.test>", "", "a source route without a mailbox after it"},
        {"<a@d..test>", "", "an empty label in the domain"},
        {"<a@-d.test>", "", "a hyphen at an end of a domain label"},
        {"<a@d_x.test>", "", "\"_\" in the domain"},
        {"<a(b)@d.test>", "", "\"(\" in the local part"},
        {"<\"a<b\"@d.test>", "", "an angle bracket inside the address"},
        {"<\"ab@d.test>", "", "no closing angle bracket"},
        {"<a@[1.2.3.4>", "", "an address literal without its closing bracket"},
        {"<a@[1.2 .3]>", "", "0x20 in the address literal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        ServerFixture f;
        RawClient client(f.port);
        client.Login();
        std::string mail = client.Send("MAIL FROM:" + c.argument + "\r\n");
        std::string rcpt = client.Send("RCPT TO:" + c.argument + "\r\n");
        if (c.refusal.empty()) {
            EXPECT_EQ(mail, "250 OK\r\n");
            EXPECT_EQ(rcpt, "250 OK Send to <" + c.address + "> is allowed\r\n");
            EXPECT_EQ(f.senders, (std::vector<std::string>{c.address}));
            EXPECT_EQ(f.recipients, (std::vector<std::string>{c.address}));
        } else {
            EXPECT_EQ(mail, "501 Syntax error in address: " + c.refusal + "\r\n");
            EXPECT_EQ(rcpt, "501 Syntax error in address: " + c.refusal + "\r\n");
            EXPECT_TRUE(f.senders.empty());
            EXPECT_TRUE(f.recipients.empty());
            // Nothing was taken: no transaction to send.
            EXPECT_EQ(client.Send("DATA\r\n"),
                      "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n");
        }
    }
}

TEST(SmtpEnvelope, RecipientRefusedByTheHandlerIsKeptOut) {
    ServerFixture f;
    f.server->OnMailTo = [](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*, const std::string&,
                            std::string& answer) { answer = "550 not here"; };
    RawClient c(f.port);
    c.Login();
    c.Send("MAIL FROM:<a@b.example>\r\n");
    EXPECT_EQ(c.Send("RCPT TO:<x@y.example>\r\n"), "550 not here\r\n");
    EXPECT_EQ(c.Send("DATA\r\n"), "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n");
    f.server->OnMailTo = [](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*, const std::string&,
                            std::string& answer) { answer = ""; };
    EXPECT_EQ(c.Send("RCPT TO:<x@y.example>\r\n"), "\r\n"); // an emptied answer is a bare line end
    EXPECT_EQ(c.Send("DATA\r\n"), "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n");
}

TEST(SmtpCommands, HelpVrfyRsetQuitAndTheRest) {
    ServerFixture f;
    std::string unknown;
    f.server->OnUnknownCmd = [&](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                                 const std::string& cmd, std::string&) { unknown = cmd; };
    f.server->OnVerifyUser = [](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                                const std::string& user, bool& known, std::string& mail) {
        known = user == "kalvex";
        mail += "@example.com";
    };
    RawClient c(f.port);
    c.Login();
    EXPECT_EQ(c.Send("HELP\r\n", 9),
              "214-Implemented commands "
              "follow:\r\n214-data\r\n214-helo\r\n214-mail\r\n214-noop\r\n214-quit\r\n"
              "214-rcpt\r\n214-rset\r\n214 End of HELP Info\r\n");
    EXPECT_EQ(c.Send("VRFY kalvex\r\n"), "250 OK kalvex@example.com\r\n");
    EXPECT_EQ(c.Send("VRFY nobody\r\n"), "550 does not match anything\r\n");
    EXPECT_EQ(c.Send("EXPN list\r\n"), "502 Command not implemented.\r\n");
    EXPECT_EQ(c.Send("EHLO again\r\n"), "500 command not recognized\r\n");
    EXPECT_EQ(unknown, "EHLO again\r\n");
    c.Send("MAIL FROM:<a@b.example>\r\n");
    c.Send("RCPT TO:<c@d.example>\r\n");
    EXPECT_EQ(c.Send("RSET\r\n"), "250 OK\r\n");
    EXPECT_EQ(c.Send("DATA\r\n"), "554 Transaction failed (invalid MAIL/RCPT or DATA)\r\n");
    // Two command lines in one chunk are one command: one reply.
    size_t before = c.received.size();
    testsupport::SendAll(c.fd, "NOOP\r\nNOOP\r\n");
    testsupport::PumpFor(100);
    c.Drain();
    EXPECT_EQ(c.received.substr(before), "250 OK\r\n");
    EXPECT_EQ(c.Send("QUIT\r\n"), "221 Thanks for using, have a nice day\r\n");
    EXPECT_TRUE(c.ClosedByServer());
}

TEST(SmtpCommands, AfterQuitInputIsIgnoredWithoutReplyOrDebugReport) {
    ServerFixture f;
    std::vector<std::pair<smtpserver::TDebugType, std::string>> debug;
    f.server->DebugMode = true;
    f.server->OnServerDebug = [&](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                                  smtpserver::TDebugType t,
                                  const std::string& info) { debug.emplace_back(t, info); };
    RawClient c(f.port);
    c.Login();
    c.Send("QUIT\r\n");
    size_t reports = debug.size();
    size_t before = c.received.size();
    testsupport::SendAll(c.fd, "NOOP\r\n");
    testsupport::PumpFor(80);
    c.Drain();
    EXPECT_EQ(debug.size(), reports);
    EXPECT_EQ(c.received.size(), before); // no reply to NOOP
    ASSERT_GE(debug.size(), 4u);
    EXPECT_EQ(debug[0], std::make_pair(smtpserver::TDebugType::dtSent,
                                       std::string("220 220  SMTP Server Ready.")));
    EXPECT_EQ(debug[1],
              std::make_pair(smtpserver::TDebugType::dtReceived, std::string("HELO mypc")));
    EXPECT_EQ(debug[2],
              std::make_pair(smtpserver::TDebugType::dtSent,
                             std::string("250 OK User mypc from IP 127.0.0.1 is welcome")));
}

TEST(SmtpCommands, WithoutDebugModeNoDebugEventIsRaised) {
    ServerFixture f;
    int reports = 0;
    f.server->OnServerDebug = [&](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                                  smtpserver::TDebugType, const std::string&) { ++reports; };
    RawClient c(f.port);
    c.Login();
    c.Send("NOOP\r\n");
    EXPECT_EQ(reports, 0);
}

TEST(SmtpCommands, AThrowingHandlerEndsTheChunkButNotTheSession) {
    ServerFixture f;
    f.server->OnMailFrom = [](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                              const std::string&,
                              std::string&) { throw std::runtime_error("application failure"); };
    RawClient c(f.port);
    c.Login();
    testsupport::SendAll(c.fd, "MAIL FROM:<a@b.example>\r\n");
    testsupport::PumpFor(80);
    c.Drain();
    EXPECT_EQ(c.received.find("250 OK\r\n"), std::string::npos);
    EXPECT_EQ(c.Send("NOOP\r\n"), "250 OK\r\n");
}

} // namespace
