// RelayMessage against a real upstream server (python3-aiosmtpd): byte-exact delivery,
// authentication, SIZE, refusals.
#include "smtpclient/smtpsender.h"
#include "tests/support/upstream.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace smtpclient;
using testsupport::Upstream;

namespace {

TRelayOptions Options() {
    TRelayOptions options;
    options.SystemName = "vantro-test";
    options.TimeoutMs = 10000;
    return options;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\r\n";
    return all;
}

TEST(RelayUpstream, MessageArrivesByteForByteWithDotsAndEmptyLines) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::vector<std::string> lines = {
        "From: \xD5\xC5\xCE\xB0 <zhang.wei@corp.example.cn>",
        "Subject: =?GBK?B?suLK1A==?=",
        "",
        ".",
        ".x",
        "..two",
        "\xC4\xE3\xBA\xC3 \xCA\xC0\xBD\xE7",
        std::string(990, 'L'), // the upstream refuses lines over 1000 bytes
        ""};
    ASSERT_TRUE(RelayMessage(Options(), "\"Wei, Zhang\" <zhang.wei@corp.example.cn>",
                             "\"Boss, Big\" <boss@example.net>, kehu0@example.net",
                             upstream.HostAndPort(), lines, "", ""));
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    auto m = upstream.Messages().at(0);
    EXPECT_EQ(m.sender, "zhang.wei@corp.example.cn");
    EXPECT_EQ(m.recipients, (std::vector<std::string>{"boss@example.net", "kehu0@example.net"}));
    EXPECT_EQ(m.content, Joined(lines));
    EXPECT_EQ(m.authUser, "-");
    EXPECT_EQ(m.mailOptions, "SIZE=" + std::to_string(MessageSize(TVectorLineSource(lines))));
}

TEST(RelayUpstream, BareLineEndsInsideALineCannotEndTheMessageEarly) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::vector<std::string> lines = {"Subject: smuggle", "", "a\n.\nMAIL FROM:<evil@x.example>",
                                      "b\r.\rc", "tail"};
    ASSERT_TRUE(RelayMessage(Options(), "a@b.example", "c@d.example", upstream.HostAndPort(), lines,
                             "", ""));
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    auto messages = upstream.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(
        messages[0].content,
        "Subject: smuggle\r\n\r\na\r\n.\r\nMAIL FROM:<evil@x.example>\r\nb\r\n.\r\nc\r\ntail\r\n");
}

TEST(RelayUpstream, AuthenticatesWithCramMd5FirstAndLoginOtherwise) {
    {
        Upstream upstream({"--user", "kalvex:739104", "--cram", "--auth-required"});
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        EXPECT_TRUE(RelayMessage(Options(), "a@b.example", "c@d.example", upstream.HostAndPort(),
                                 {"x"}, "kalvex", "739104"));
        ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
        EXPECT_EQ(upstream.Messages()[0].authUser, "kalvex");
    }
    {
        Upstream upstream({"--user", "kalvex:739104", "--auth-required"}); // LOGIN only
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        EXPECT_TRUE(RelayMessage(Options(), "a@b.example", "c@d.example", upstream.HostAndPort(),
                                 {"x"}, "kalvex", "739104"));
        ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
        EXPECT_EQ(upstream.Messages()[0].authUser, "kalvex");
    }
}

TEST(RelayUpstream, PlainIsUsedWhereItIsTheOnlyMechanismAndLoginStaysFirstBesideIt) {
    {
        Upstream upstream({"--user", "kalvex:739104", "--plain", "--no-login", "--auth-required"});
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        for (int i = 0; i < 5; ++i)
            EXPECT_TRUE(RelayMessage(Options(), "a@b.example", "c@d.example",
                                     upstream.HostAndPort(), {"plain " + std::to_string(i)},
                                     "kalvex", "739104"));
        ASSERT_TRUE(upstream.WaitForMessages(5, 5000));
        for (const auto& m : upstream.Messages()) {
            EXPECT_EQ(m.authUser, "kalvex");
            EXPECT_EQ(m.authMechanism, "PLAIN");
        }
    }
    {
        Upstream upstream({"--user", "kalvex:739104", "--plain", "--auth-required"});
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        EXPECT_TRUE(RelayMessage(Options(), "a@b.example", "c@d.example", upstream.HostAndPort(),
                                 {"x"}, "kalvex", "739104"));
        ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
        EXPECT_EQ(upstream.Messages()[0].authMechanism, "LOGIN");
    }
    {
        // A refused PLAIN password: the server's refusal of MAIL becomes the reason, with the
        // AUTH refusal before it.
        Upstream upstream({"--user", "kalvex:739104", "--plain", "--no-login", "--auth-required"});
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        std::string reason;
        EXPECT_FALSE(RelayMessage(Options(), "a@b.example", "c@d.example", upstream.HostAndPort(),
                                  {"x"}, "kalvex", "wrong", &reason));
        EXPECT_EQ(reason.rfind("AUTH refused: 535", 0), 0u) << reason;
        EXPECT_NE(reason.find("MAIL FROM refused: 530"), std::string::npos) << reason;
    }
}

TEST(RelayUpstream, WrongPasswordLeavesTheServerToRefuseTheMail) {
    Upstream upstream({"--user", "kalvex:739104", "--cram", "--auth-required"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TSmtpSender client("vantro-test");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(upstream.Port());
    client.UserName = "kalvex";
    client.Password = "wrong";
    EXPECT_TRUE(client.OpenSession()); // a refused login is not a failed session
    EXPECT_FALSE(client.AuthDone);
    EXPECT_FALSE(client.SendMailFrom("a@b.example", 10));
    EXPECT_EQ(client.ResultCode, 530);
    EXPECT_TRUE(client.CloseSession());
    EXPECT_FALSE(RelayMessage(Options(), "a@b.example", "c@d.example", upstream.HostAndPort(),
                              {"x"}, "kalvex", "wrong"));
    EXPECT_TRUE(upstream.Messages().empty());
}

TEST(RelayUpstream, ARefusedRecipientIsDecidedAloneAndTheOthersGetTheMessage) {
    Upstream upstream({"--refuse-rcpt", "nobody@example.net"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::string reason;
    EXPECT_FALSE(RelayMessage(Options(), "a@b.example",
                              "ok@example.net,nobody@example.net,late@example.net",
                              upstream.HostAndPort(), {"x"}, "", "", &reason));
    EXPECT_EQ(reason, "RCPT TO:<nobody@example.net> refused: 550 5.1.1 no such user here");
    EXPECT_TRUE(RelayMessage(Options(), "a@b.example", "ok@example.net,,late@example.net",
                             upstream.HostAndPort(), {"y"}, "",
                             "")); // an empty field after an accepted recipient is skipped
    ASSERT_TRUE(upstream.WaitForMessages(2, 5000));
    auto messages = upstream.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const auto& message : messages)
        EXPECT_EQ(message.recipients,
                  (std::vector<std::string>{"ok@example.net", "late@example.net"}));
    EXPECT_EQ(messages[0].content, "x\r\n");
}

// What became of each recipient, "address=state" joined by ",".
std::string States(const TRelayReport& report) {
    std::string states;
    for (const auto& recipient : report.recipients) {
        const char* state = recipient.state == TRecipientOutcome::State::Delivered ? "delivered"
                            : recipient.state == TRecipientOutcome::State::Refused ? "refused"
                                                                                   : "deferred";
        states += (states.empty() ? "" : ",") + recipient.address + "=" + state;
    }
    return states;
}

TEST(RelayUpstream, EachRecipientIsDecidedOnItsOwnAndNoneGetsTheMessageTwice) {
    struct Case {
        std::vector<std::string> upstreamArguments;
        std::string recipients;
        std::string states;
        std::vector<std::vector<std::string>> transactions; // the recipients of each message
    };
    const Case cases[] = {
        {{"--refuse-rcpt", "b@d.test"},
         "a@d.test,b@d.test,c@d.test",
         "a@d.test=delivered,b@d.test=refused,c@d.test=delivered",
         {{"a@d.test", "c@d.test"}}},
        {{"--defer-once", "b@d.test"},
         "a@d.test,b@d.test",
         "a@d.test=delivered,b@d.test=deferred",
         {{"a@d.test"}}},
        {{"--rcpt-251", "b@d.test"},
         "a@d.test,b@d.test",
         "a@d.test=delivered,b@d.test=delivered",
         {{"a@d.test", "b@d.test"}}},
        // Two recipients a transaction: the rest go in the next ones at once.
        {{"--max-rcpts", "2"},
         "a@d.test,b@d.test,c@d.test,d@d.test,e@d.test",
         "a@d.test=delivered,b@d.test=delivered,c@d.test=delivered,d@d.test=delivered,"
         "e@d.test=delivered",
         {{"a@d.test", "b@d.test"}, {"c@d.test", "d@d.test"}, {"e@d.test"}}},
        {{"--max-rcpts", "2"},
         "a@d.test,b@d.test",
         "a@d.test=delivered,b@d.test=delivered",
         {{"a@d.test", "b@d.test"}}},
        {{"--max-rcpts", "1", "--refuse-rcpt", "b@d.test"},
         "a@d.test,b@d.test,c@d.test",
         "a@d.test=delivered,b@d.test=refused,c@d.test=delivered",
         {{"a@d.test"}, {"c@d.test"}}},
        {{"--refuse-rcpt", "a@d.test", "--refuse-rcpt", "b@d.test"},
         "a@d.test,b@d.test",
         "a@d.test=refused,b@d.test=refused",
         {}},
    };
    // Each case one command at a time, and again pipelined (RFC 2920): the same outcomes.
    for (bool pipelining : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.recipients + " with " + c.upstreamArguments[0] +
                         (pipelining ? ", pipelined" : ""));
            std::vector<std::string> arguments = c.upstreamArguments;
            if (pipelining) arguments.push_back("--pipelining");
            Upstream upstream(arguments);
            ASSERT_TRUE(upstream.Ok()) << upstream.Log();
            const std::vector<std::string> text = {"Subject: each", "", "body"};
            TVectorLineSource lines(text);
            TRelayReport report;
            bool all = RelayMessage(Options(), "s@d.test", c.recipients, upstream.HostAndPort(),
                                    lines, "", "", report);
            EXPECT_EQ(States(report), c.states) << report.reason;
            EXPECT_EQ(all, c.states.find("=refused") == std::string::npos &&
                               c.states.find("=deferred") == std::string::npos);
            EXPECT_EQ(report.failureClass.temporary,
                      c.states.find("=deferred") != std::string::npos);
            if (!c.transactions.empty()) {
                ASSERT_TRUE(upstream.WaitForMessages(c.transactions.size(), 5000));
            }
            auto messages = upstream.Messages();
            ASSERT_EQ(messages.size(), c.transactions.size());
            for (size_t i = 0; i < messages.size(); ++i) {
                EXPECT_EQ(messages[i].recipients, c.transactions[i]);
                EXPECT_EQ(messages[i].content, "Subject: each\r\n\r\nbody\r\n");
                EXPECT_EQ(messages[i].peerPort, messages[0].peerPort); // one session
            }
            if (!pipelining) continue;
            // The first transaction's envelope came in one read: MAIL, every RCPT, DATA.
            std::string envelope = "MAIL FROM:<s@d.test> SIZE=" +
                                   std::to_string(MessageSize(TVectorLineSource(text))) + "\\r\\n";
            for (const std::string& address : RecipientAddresses(c.recipients))
                envelope += "RCPT TO:<" + address + ">\\r\\n";
            envelope += "DATA\\r\\n";
            auto reads = upstream.Reads();
            std::string seen;
            for (const std::string& read : reads) seen += read + "\n";
            EXPECT_NE(std::find(reads.begin(), reads.end(), envelope), reads.end()) << seen;
        }
}

TEST(RelayUpstream, AFinalReplySlowerThanTheTimeOutIsWaitedForAndGivesOneCopy) {
    // A server that scans the text answers the end of it late: 1.5 s against a time-out of
    // 0.3 s per reply.
    Upstream upstream({"--delay", "1.5"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelayOptions options = Options();
    options.TimeoutMs = 300;
    std::string reason;
    EXPECT_TRUE(RelayMessage(options, "s@d.test", "a@d.test", upstream.HostAndPort(), {"slow"}, "",
                             "", &reason))
        << reason;
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages().size(), 1u);
}

TEST(RelayUpstream, AConnectionLostAfterTheWholeTextIsDeferredAndSaysACopyMayExist) {
    Upstream upstream({"--close-after-dot"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelayOptions options = Options();
    std::string reason;
    TFailureClass failure;
    EXPECT_FALSE(RelayMessage(options, "s@d.test", "a@d.test", upstream.HostAndPort(), {"x"}, "",
                              "", &reason, &failure));
    EXPECT_TRUE(failure.temporary);
    EXPECT_EQ(reason.rfind("end of data failed: 10054", 0), 0u) << reason;
    EXPECT_NE(reason.find("the server may have kept the message and the retry may deliver a "
                          "second copy"),
              std::string::npos)
        << reason;
}

TEST(RelayUpstream, NoStartTlsOfferedContinuesInPlainText) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelayOptions options = Options();
    options.AutoTLS = true;
    EXPECT_TRUE(RelayMessage(options, "a@b.example", "c@d.example", upstream.HostAndPort(),
                             {"plain"}, "", ""));
}

TEST(RelayUpstream, SeveralThreadsRelayAtOnce) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i)
                if (RelayMessage(Options(), "t" + std::to_string(t) + "@b.example", "c@d.example",
                                 upstream.HostAndPort(),
                                 {"thread " + std::to_string(t), "message " + std::to_string(i)},
                                 "", ""))
                    ++ok;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 40);
    EXPECT_TRUE(upstream.WaitForMessages(40, 5000));
}

} // namespace
