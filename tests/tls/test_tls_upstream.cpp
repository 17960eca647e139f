// STARTTLS and implicit TLS against python3-aiosmtpd, and against exim (each connection
// handed to an unpacked `exim4 -bs`; those tests need root, and fail in CI without exim),
// with a self-signed certificate made by openssl, so certificate verification is off here
// (it has tests of its own).
#include "smtpclient/relay_sessions.h"
#include "smtpclient/smtpsender.h"
#include "tests/support/peers.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/upstream.h"
#include "tests/tls/tls_peer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace smtpclient;
using testsupport::Upstream;

namespace {

TRelayOptions Options(bool autoTls, bool fullSsl) {
    TRelayOptions options;
    options.SystemName = "vantro-test";
    options.AutoTLS = autoTls;
    options.FullSSL = fullSsl;
    options.TimeoutMs = 10000;
    options.VerifyCert = false;
    return options;
}

TEST(TlsUpstream, StartTlsThenAuthOverTls) {
    Upstream upstream({"--starttls", testsupport::TestCertificate(), "--user", "kalvex:739104",
                       "--auth-required"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    EXPECT_TRUE(RelayMessage(Options(true, false), "a@b.example", "c@d.example",
                             upstream.HostAndPort(), {"Subject: tls", "", "secret body"}, "kalvex",
                             "739104"));
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages()[0].authUser, "kalvex");
    EXPECT_EQ(upstream.Messages()[0].content, "Subject: tls\r\n\r\nsecret body\r\n");
}

TEST(TlsUpstream, AKeptSessionCarriesTheNextMessageInsideItsTlsAndAuth) {
    Upstream upstream({"--starttls", testsupport::TestCertificate(), "--user", "kalvex:739104",
                       "--auth-required"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TRelaySessions sessions;
    TRelayOptions options = Options(true, false);
    options.Sessions = &sessions;
    for (const char* body : {"first", "second"})
        EXPECT_TRUE(RelayMessage(options, "a@b.example", "c@d.example", upstream.HostAndPort(),
                                 {"Subject: kept", "", body}, "kalvex", "739104"));
    ASSERT_TRUE(upstream.WaitForMessages(2, 5000));
    auto messages = upstream.Messages();
    EXPECT_EQ(messages[1].content, "Subject: kept\r\n\r\nsecond\r\n");
    EXPECT_EQ(messages[1].authUser, "kalvex");
    EXPECT_EQ(messages[0].peerPort, messages[1].peerPort);
}

TEST(TlsUpstream, ImplicitTlsWithCramMd5) {
    Upstream upstream({"--implicit", testsupport::TestCertificate(), "--user", "kalvex:739104",
                       "--cram", "--auth-required"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    EXPECT_TRUE(RelayMessage(Options(false, true), "a@b.example", "c@d.example",
                             upstream.HostAndPort(), {"implicit"}, "kalvex", "739104"));
    ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
    EXPECT_EQ(upstream.Messages()[0].authUser, "kalvex");
}

// A token source as a helper command would be: it counts its runs.
TSecretSource TokenSource(std::atomic<int>& runs, std::string token) {
    TSecretSource source;
    source.kind = TSecretSource::Kind::BearerToken;
    source.id = "token-helper";
    source.fetch = [&runs, token](TSecretFetch& fetched) {
        ++runs;
        fetched.secret = token;
        return true;
    };
    return source;
}

TEST(TlsUpstream, OAuthBearerIsPreferredAndXOAuth2UsedWhereItIsAlone) {
    const std::string goodToken = "ya29.a0AfH6SMBx-good";
    for (bool bearerOffered : {true, false}) {
        std::vector<std::string> arguments = {"--implicit", testsupport::TestCertificate(),
                                              "--token", "me@mail.example:" + goodToken,
                                              "--auth-required"};
        if (!bearerOffered) arguments.push_back("--no-oauthbearer");
        Upstream upstream(arguments);
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        std::atomic<int> runs{0};
        TRelayOptions options = Options(false, true);
        options.Secret = TokenSource(runs, goodToken);
        std::string reason;
        EXPECT_TRUE(RelayMessage(options, "me@mail.example", "c@d.example", upstream.HostAndPort(),
                                 {"oauth"}, "me@mail.example", "stored-password-unused", &reason))
            << reason;
        ASSERT_TRUE(upstream.WaitForMessages(1, 5000));
        EXPECT_EQ(upstream.Messages()[0].authUser, "me@mail.example");
        EXPECT_EQ(upstream.Messages()[0].authMechanism, bearerOffered ? "OAUTHBEARER" : "XOAUTH2");
        EXPECT_EQ(runs.load(), 1);
    }
}

TEST(TlsUpstream, ARefusedTokenEndsItsErrorChallengeAndTheFinalReplyIsTheReason) {
    for (bool bearerOffered : {true, false}) {
        std::vector<std::string> arguments = {"--starttls", testsupport::TestCertificate(),
                                              "--token", "me@mail.example:current",
                                              "--auth-required"};
        if (!bearerOffered) arguments.push_back("--no-oauthbearer");
        Upstream upstream(arguments);
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        std::atomic<int> runs{0};
        TRelayOptions options = Options(true, false);
        options.Secret = TokenSource(runs, "expired");
        std::string reason;
        EXPECT_FALSE(RelayMessage(options, "me@mail.example", "c@d.example", upstream.HostAndPort(),
                                  {"oauth"}, "me@mail.example", "", &reason));
        // The upstream answers a wrong abort with 501: 535 shows the exchange ended right.
        EXPECT_EQ(reason.rfind("AUTH refused: 535 5.7.8 Username and Password not accepted", 0), 0u)
            << reason;
        EXPECT_EQ(reason.find("expired"), std::string::npos) << "the token is in the reason";
        EXPECT_TRUE(upstream.Messages().empty());
    }
}

TEST(TlsUpstream, ARefusedTokenIsReplacedOnceWhenItsSourceCanRefreshIt) {
    // The source hands out the tokens in order; `refreshes` says how many refusals it may
    // answer with a fresh one.
    for (int refreshes : {1, 0}) {
        Upstream upstream({"--starttls", testsupport::TestCertificate(), "--token",
                           "me@mail.example:fresh", "--auth-required"});
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        std::vector<std::string> handed = {"revoked-early", "fresh", "never-asked"};
        std::atomic<int> fetches{0}, refusals{0};
        TRelayOptions options = Options(true, false);
        options.Secret.kind = TSecretSource::Kind::BearerToken;
        options.Secret.id = "refreshing";
        options.Secret.fetch = [&](TSecretFetch& fetched) {
            fetched.secret = handed.at(fetches++);
            return true;
        };
        options.Secret.refused = [&](const std::string& token) {
            EXPECT_EQ(token, "revoked-early");
            return refusals++ < refreshes;
        };
        std::string reason;
        bool relayed =
            RelayMessage(options, "me@mail.example", "c@d.example", upstream.HostAndPort(),
                         {"oauth"}, "me@mail.example", "", &reason);
        EXPECT_EQ(relayed, refreshes == 1) << reason;
        EXPECT_EQ(fetches.load(), 1 + refreshes);
        EXPECT_EQ(refusals.load(), 1); // once a session, never a loop
        EXPECT_EQ(upstream.Messages().size(), refreshes == 1 ? 1u : 0u);
    }
}

TEST(TlsUpstream, AKeptSessionNeedsNoNewTokenAndANewSessionFetchesOneAgain) {
    Upstream upstream({"--implicit", testsupport::TestCertificate(), "--token",
                       "me@mail.example:tok", "--auth-required"});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::atomic<int> runs{0};
    TRelaySessions sessions;
    TRelayOptions options = Options(false, true);
    options.Sessions = &sessions;
    options.Secret = TokenSource(runs, "tok");
    for (const char* body : {"first", "second", "third"})
        EXPECT_TRUE(RelayMessage(options, "me@mail.example", "c@d.example", upstream.HostAndPort(),
                                 {body}, "me@mail.example", ""));
    EXPECT_EQ(runs.load(), 1);
    // Another source is another session, even with the same account.
    TRelayOptions other = options;
    other.Secret.id = "another-helper";
    EXPECT_TRUE(RelayMessage(other, "me@mail.example", "c@d.example", upstream.HostAndPort(),
                             {"fourth"}, "me@mail.example", ""));
    EXPECT_EQ(runs.load(), 2);
    ASSERT_TRUE(upstream.WaitForMessages(4, 5000));
    auto messages = upstream.Messages();
    EXPECT_EQ(testsupport::SessionPorts(messages).size(), 2u);
}

TEST(TlsUpstream, PlainServerOnTheTlsPortFailsWithOpenSslsText) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    TSmtpSender client("vantro-test");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(upstream.Port());
    client.FullSSL = true;
    EXPECT_FALSE(client.ConnectServer());
    EXPECT_EQ(client.FailureReason.rfind("TLS handshake failed: 10091 ", 0), 0u)
        << client.FailureReason;
    EXPECT_EQ(client.Sock().LastErrorCode(), 10091);
    EXPECT_NE(client.Sock().TlsLayer().TlsError(), 0);
    EXPECT_NE(client.Sock().LastErrorText().find("wrong version number"), std::string::npos)
        << client.Sock().LastErrorText();
}

TEST(TlsUpstream, ANewSessionResumesTheTlsSessionOfTheLastUnderTheSameKeyOnly) {
    for (bool implicit : {true, false}) {
        SCOPED_TRACE(implicit ? "implicit TLS" : "STARTTLS");
        Upstream upstream({implicit ? "--implicit" : "--starttls", testsupport::TestCertificate()});
        ASSERT_TRUE(upstream.Ok()) << upstream.Log();
        auto session = [&](const std::string& key) {
            TSmtpSender client("vantro-test");
            client.TargetHost = "127.0.0.1";
            client.TargetPort = std::to_string(upstream.Port());
            client.FullSSL = implicit;
            client.AutoTLS = !implicit;
            client.Sock().TlsLayer().VerifyCert = false;
            client.Sock().TlsLayer().SessionCacheKey = key;
            EXPECT_TRUE(client.OpenSession()) << client.FailureReason;
            bool reused = client.Sock().TlsLayer().SessionReused();
            EXPECT_TRUE(client.CloseSession());
            return reused;
        };
        std::string key = "resume-" + std::to_string(upstream.Port());
        EXPECT_FALSE(session(key)); // the first: a full handshake
        EXPECT_TRUE(session(key));
        EXPECT_TRUE(session(key));
        EXPECT_FALSE(session(key + "-other")); // another key offers nothing
        EXPECT_FALSE(session(""));             // no key: no resumption
    }
}

TEST(TlsUpstream, AnImplicitTlsServerThatDropsTheConnectionIsDeferredNotFailed) {
    // A port-465 server over its session cap drops the connection: at the accept (before any
    // TLS byte) or right after the handshake (OpenSSL 3: "unexpected eof while reading").
    // Either is the server for now, as the same close is on a plain connection.
    testsupport::ScriptedPeer atAccept({testsupport::CloseConnection()});
    Upstream afterHandshake(
        {"--implicit", testsupport::TestCertificate(), "--close-after-handshake"});
    ASSERT_TRUE(afterHandshake.Ok()) << afterHandshake.Log();
    for (const std::string& hostAndPort :
         {"127.0.0.1:" + std::to_string(atAccept.Port()), afterHandshake.HostAndPort()}) {
        SCOPED_TRACE(hostAndPort);
        std::string reason;
        TFailureClass failure;
        EXPECT_FALSE(RelayMessage(Options(false, true), "a@b.example", "c@d.example", hostAndPort,
                                  {"x"}, "", "", &reason, &failure));
        EXPECT_TRUE(failure.temporary) << reason;
        EXPECT_TRUE(failure.sessionRefused) << reason;
    }
    EXPECT_GE(afterHandshake.Count("dropped"), 1);
}

TEST(TlsUpstream, RefusedStartTlsFailsTheSessionWithoutPlainText) {
    using namespace testsupport;
    ScriptedPeer peer({Packet("220 hi\r\n"), ExpectLine(),
                       Packet("250-mx\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"), ExpectLine(),
                       Packet("454 TLS not available\r\n"), Hold(2000)});
    TSmtpSender client("vantro-test");
    client.TargetHost = "127.0.0.1";
    client.TargetPort = std::to_string(peer.Port());
    client.AutoTLS = true;
    client.UserName = "kalvex";
    client.Password = "739104";
    EXPECT_FALSE(client.OpenSession());
    client.Sock().CloseConnection();
    peer.Join();
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"EHLO vantro-test\r\n", "STARTTLS\r\n"}));
}

TEST(TlsUpstream, ServerWithoutStartTlsContinuesInPlainText) {
    Upstream upstream;
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    EXPECT_TRUE(RelayMessage(Options(true, false), "a@b.example", "c@d.example",
                             upstream.HostAndPort(), {"plain"}, "", ""));
}

TEST(TlsUpstream, EightThreadsTimesTwentyTlsRelaysAtOnce) {
    Upstream upstream({"--implicit", testsupport::TestCertificate()});
    ASSERT_TRUE(upstream.Ok()) << upstream.Log();
    std::atomic<int> delivered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                if (RelayMessage(Options(false, true), "t" + std::to_string(t) + "@b.example",
                                 "c@d.example", upstream.HostAndPort(),
                                 {"thread " + std::to_string(t) + " message " + std::to_string(i)},
                                 "", ""))
                    ++delivered;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(delivered.load(), 160);
    EXPECT_TRUE(upstream.WaitForMessages(160, 10000));
}

// exim, a real MTA: its CRAM-MD5, LOGIN and PLAIN authenticators, STARTTLS and implicit TLS.
// Root only: exim keeps its privileges for a configuration of the test's own only then.
bool EximUsable() {
    return access(testsupport::EximBinary().c_str(), X_OK) == 0;
}
#define VANTRO_NEED_EXIM()                                                                         \
    do {                                                                                           \
        if (geteuid() != 0) GTEST_SKIP() << "exim takes a configuration of ours only from root";   \
        VANTRO_NEED_PEER(EximUsable(),                                                             \
                         "no exim at " << testsupport::EximBinary() << " (make test unpacks it)"); \
    } while (false)

// One message through exim started with `arguments`: the mechanism it authenticated with and
// the protocol exim's Received line names ("esmtpsa" is inside TLS), or why the relay failed.
std::string RelayThroughExim(const std::vector<std::string>& arguments, bool autoTls, bool fullSsl,
                             const std::string& password = "739104") {
    std::vector<std::string> withBinary = {"--exim", testsupport::EximBinary(), "--user-shim",
                                           testsupport::EximUserShim()};
    withBinary.insert(withBinary.end(), arguments.begin(), arguments.end());
    Upstream exim("exim_upstream.py", withBinary);
    if (!exim.Ok()) return "exim did not start: " + exim.Log();
    std::string reason;
    if (!RelayMessage(Options(autoTls, fullSsl), "me@corp.example", "you@example.net",
                      exim.HostAndPort(), {"Subject: through exim", "", "body"}, "kalvex", password,
                      &reason))
        return reason;
    if (!exim.WaitForMessages(1, 10000)) return "exim stored nothing";
    auto message = exim.Messages().at(0);
    EXPECT_EQ(message.sender, "me@corp.example");
    EXPECT_EQ(message.recipients, std::vector<std::string>{"you@example.net"});
    EXPECT_EQ(message.authUser, "kalvex");
    EXPECT_NE(message.content.find("Subject: through exim\r\n\r\nbody\r\n"), std::string::npos)
        << message.content;
    size_t with = message.content.find(" with ");
    std::string protocol =
        with == std::string::npos
            ? "?"
            : message.content.substr(with + 6,
                                     message.content.find_first_of(" \r", with + 6) - with - 6);
    return message.authMechanism + "/" + protocol;
}

TEST(EximUpstream, TheMechanismIsCramMd5ThenLoginAndPlainOnlyWhereItIsAlone) {
    VANTRO_NEED_EXIM();
    EXPECT_EQ(RelayThroughExim({}, false, false), "CRAM-MD5/esmtpa");
    EXPECT_EQ(RelayThroughExim({"--mechanisms", "login,plain"}, false, false), "LOGIN/esmtpa");
    EXPECT_EQ(RelayThroughExim({"--mechanisms", "plain"}, false, false), "PLAIN/esmtpa");
}

TEST(EximUpstream, ARefusedPlainPasswordIsNamedBeforeTheRefusedMail) {
    VANTRO_NEED_EXIM();
    std::string reason = RelayThroughExim({"--mechanisms", "plain"}, false, false, "wrong");
    EXPECT_EQ(reason.rfind("AUTH refused: 535 Incorrect authentication data; MAIL FROM refused: "
                           "530 5.7.0 Authentication required",
                           0),
              0u)
        << reason;
}

TEST(EximUpstream, StartTlsAndImplicitTls) {
    VANTRO_NEED_EXIM();
    std::string certificate = testsupport::TestCertificate();
    EXPECT_EQ(RelayThroughExim({"--tls", certificate, "--mechanisms", "login"}, true, false),
              "LOGIN/esmtpsa");
    EXPECT_EQ(RelayThroughExim({"--tls", certificate, "--tls-on-connect"}, false, true),
              "CRAM-MD5/esmtpsa");
    EXPECT_EQ(RelayThroughExim({"--tls", certificate, "--tls-on-connect", "--mechanisms", "plain"},
                               false, true),
              "PLAIN/esmtpsa");
}

// exim offers PIPELINING and CHUNKING: a message goes as MAIL, RCPT and one BDAT LAST in one
// write. A kept session exim ended while it was idle (its receive timeout, a 421 and the
// connection closed) must be found out before any of that is written, and the next message
// go over a new session, once.
TEST(EximUpstream, ASessionEximEndedWhileIdleIsFoundBeforeTheChunkAndTheMessageArrivesOnce) {
    VANTRO_NEED_EXIM();
    Upstream exim("exim_upstream.py", {"--exim", testsupport::EximBinary(), "--user-shim",
                                       testsupport::EximUserShim(), "--receive-timeout", "1"});
    ASSERT_TRUE(exim.Ok()) << exim.Log();
    TRelaySessions sessions;
    TRelayOptions options = Options(false, false);
    options.Sessions = &sessions;
    auto relay = [&](const std::string& subject) {
        std::string reason;
        EXPECT_TRUE(RelayMessage(options, "me@corp.example", "you@example.net", exim.HostAndPort(),
                                 {"Subject: " + subject, "", "body"}, "kalvex", "739104", &reason))
            << reason;
    };
    relay("before");
    ASSERT_TRUE(exim.WaitForMessages(1, 10000));
    EXPECT_EQ(sessions.Kept(), 1u);
    bool ended = false;
    for (int i = 0; i < 1500 && !(ended = exim.Count("ended") == 1); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ended) << "exim did not end the idle session within 15 s";
    relay("after");
    ASSERT_TRUE(exim.WaitForMessages(2, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // a second copy would show now
    auto messages = exim.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[1].content.find("Subject: after\r\n\r\nbody\r\n"), std::string::npos)
        << messages[1].content;
    EXPECT_EQ(testsupport::SessionPorts(messages).size(), 2u);
}

} // namespace
