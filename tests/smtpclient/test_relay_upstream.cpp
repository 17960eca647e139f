// RelayMessage against a real upstream server (python3-aiosmtpd): byte-exact delivery,
// authentication, SIZE, refusals.
#include "smtpclient/smtpsender.h"
#include "tests/support/upstream.h"

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
    EXPECT_EQ(m.mailOptions, "SIZE=" + std::to_string(MessageSize(lines)));
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

TEST(RelayUpstream, StopsAtTheFirstRefusedRecipient) {
    Upstream upstream({"--refuse-rcpt", "nobody@example.net"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    EXPECT_FALSE(RelayMessage(Options(), "a@b.example",
                              "ok@example.net,nobody@example.net,late@example.net",
                              upstream.HostAndPort(), {"x"}, "", ""));
    EXPECT_TRUE(RelayMessage(Options(), "a@b.example", "ok@example.net,,late@example.net",
                             upstream.HostAndPort(), {"y"}, "",
                             "")); // an empty field after an accepted recipient is skipped
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    auto messages = upstream.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].recipients,
              (std::vector<std::string>{"ok@example.net", "late@example.net"}));
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
