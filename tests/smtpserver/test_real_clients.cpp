// Real SMTP client programs against the server: Python's smtplib (falls back from EHLO to
// HELO) and swaks.
#include "tests/smtpserver/fixture.h"
#include "tests/support/process.h"

using namespace smtptest;

namespace {

const char* const kSmtplibScript = R"PY(
import smtplib, sys
port = int(sys.argv[1])
body = sys.stdin.buffer.read()
with smtplib.SMTP("127.0.0.1", port, timeout=10) as s:
    refused = s.sendmail("zhang.wei@corp.example.cn", ["kehu0@example.net", "boss+cc@example.net"], body)
    print("refused", refused)
    code, _ = s.noop()
    print("noop", code)
print("done")
)PY";

TEST(SmtpRealClients, PythonSmtplibFallsBackToHeloAndDeliversTheMessage) {
    ServerFixture f;
    std::string body = "From: zhang.wei@corp.example.cn\r\nSubject: "
                       "test\r\n\r\n\xC4\xE3\xBA\xC3\r\n.leading dot\r\n.\r\nlast\r\n";
    auto result = testsupport::RunWhilePumping(
        {"/usr/bin/python3", "-c", kSmtplibScript, std::to_string(f.port)}, body, 20000);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("refused {}"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("done"), std::string::npos);
    EXPECT_EQ(f.senders, (std::vector<std::string>{"zhang.wei@corp.example.cn"}));
    EXPECT_EQ(f.recipients, (std::vector<std::string>{"kehu0@example.net", "boss+cc@example.net"}));
    EXPECT_EQ(f.LastParts(), 1);
    EXPECT_EQ(f.Message(), body);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return f.disconnects == 1; }, 2000));
}

TEST(SmtpRealClients, SwaksDeliversThroughTheHeloFallback) {
    ServerFixture f;
    auto result = testsupport::RunWhilePumping(
        {"swaks", "--server", "127.0.0.1", "--port", std::to_string(f.port), "--from",
         "li.na@corp.example.cn", "--to", "kehu1@example.net", "--helo", "mypc", "--header",
         "Subject: swaks test", "--body", "hello from swaks", "--timeout", "10"},
        "", 30000);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(f.senders, (std::vector<std::string>{"li.na@corp.example.cn"}));
    EXPECT_EQ(f.recipients, (std::vector<std::string>{"kehu1@example.net"}));
    EXPECT_EQ(f.LastParts(), 1);
    EXPECT_NE(f.Message().find("Subject: swaks test\r\n"), std::string::npos);
    EXPECT_NE(f.Message().find("hello from swaks\r\n"), std::string::npos);
}

TEST(SmtpRealClients, ManyConcurrentSmtplibClientsAllDeliver) {
    ServerFixture f(3);
    const char* script = R"PY(
import smtplib, sys, threading
port = int(sys.argv[1]); errors = []
def send(i):
    try:
        with smtplib.SMTP("127.0.0.1", port, timeout=20) as s:
            s.sendmail("s%d@x.example" % i, ["r%d@y.example" % i], "Subject: %d\r\n\r\nbody %d\r\n" % (i, i))
    except Exception as e:
        errors.append(repr(e))
ts = [threading.Thread(target=send, args=(i,)) for i in range(20)]
[t.start() for t in ts]; [t.join() for t in ts]
print("errors", errors)
sys.exit(1 if errors else 0)
)PY";
    auto result = testsupport::RunWhilePumping(
        {"/usr/bin/python3", "-c", script, std::to_string(f.port)}, "", 30000);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(f.LastParts(), 20);
    EXPECT_EQ(f.senders.size(), 20u);
}

} // namespace
