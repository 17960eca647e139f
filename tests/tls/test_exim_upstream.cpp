// The client against exim, a real MTA (each connection handed to `exim4 -bs`): its CRAM-MD5,
// LOGIN and PLAIN authenticators, STARTTLS and implicit TLS. Needs root and exim4; skipped
// without them.
#include "smtpclient/smtpsender.h"
#include "tests/support/upstream.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace smtpclient;
using testsupport::Upstream;

namespace {

bool EximUsable() {
    return geteuid() == 0 && access("/usr/sbin/exim4", X_OK) == 0;
}

TRelayOptions Options(bool autoTls, bool fullSsl) {
    TRelayOptions options;
    options.SystemName = "vantro-test";
    options.AutoTLS = autoTls;
    options.FullSSL = fullSsl;
    options.TimeoutMs = 10000;
    options.VerifyCert = false; // the test certificate is self-signed
    return options;
}

// One message through exim started with `arguments`: the mechanism it authenticated with and
// the protocol exim's Received line names ("esmtpsa" is inside TLS), or why the relay failed.
std::string RelayThroughExim(const std::vector<std::string>& arguments, bool autoTls, bool fullSsl,
                             const std::string& password = "739104") {
    Upstream exim("exim_upstream.py", arguments);
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
    if (!EximUsable()) GTEST_SKIP() << "needs root and exim4";
    EXPECT_EQ(RelayThroughExim({}, false, false), "CRAM-MD5/esmtpa");
    EXPECT_EQ(RelayThroughExim({"--mechanisms", "login,plain"}, false, false), "LOGIN/esmtpa");
    EXPECT_EQ(RelayThroughExim({"--mechanisms", "plain"}, false, false), "PLAIN/esmtpa");
}

TEST(EximUpstream, ARefusedPlainPasswordIsNamedBeforeTheRefusedMail) {
    if (!EximUsable()) GTEST_SKIP() << "needs root and exim4";
    std::string reason = RelayThroughExim({"--mechanisms", "plain"}, false, false, "wrong");
    EXPECT_EQ(reason.rfind("AUTH refused: 535 Incorrect authentication data; MAIL FROM refused: "
                           "530 5.7.0 Authentication required",
                           0),
              0u)
        << reason;
}

TEST(EximUpstream, StartTlsAndImplicitTls) {
    if (!EximUsable()) GTEST_SKIP() << "needs root and exim4";
    std::string certificate = testsupport::TestCertificate();
    EXPECT_EQ(RelayThroughExim({"--tls", certificate, "--mechanisms", "login"}, true, false),
              "LOGIN/esmtpsa");
    EXPECT_EQ(RelayThroughExim({"--tls", certificate, "--tls-on-connect"}, false, true),
              "CRAM-MD5/esmtpsa");
    EXPECT_EQ(RelayThroughExim({"--tls", certificate, "--tls-on-connect", "--mechanisms", "plain"},
                               false, true),
              "PLAIN/esmtpsa");
}

} // namespace
