// Seeded fuzzing of the server as shipped (3 ms delay): sessions of mutated commands,
// random bytes and urgent data, ended by a close, a half-close or a reset, while the loop
// serves them. Afterwards every session must have been torn down and a normal client must
// still get its message accepted. VANTRO_FUZZ_SESSIONS and VANTRO_FUZZ_SEED change the run
// (`make fuzz` runs a long one).
#include "tests/smtpserver/fixture.h"

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

using namespace smtptest;

namespace {

const std::vector<std::string> kCommands = {
    "HELO fuzz\r\n",
    "helo  \r\n",
    "EHLO fuzz\r\n",
    "MAIL FROM:<a@b.example>\r\n",
    "MAIL FROM:<>\r\n",
    "RCPT TO:<c+d@e.example>\r\n",
    "DATA\r\n",
    "Subject: x\r\n\r\nbody\r\n",
    "..dots\r\n",
    "\r\n.\r\n",
    ".\r\n",
    "RSET\r\n",
    "NOOP\r\n",
    "HELP me\r\n",
    "VRFY x\r\n",
    "QUIT\r\n",
    "TURN\r\n",
    "\r\n",
};

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

std::string Mutate(std::string piece, std::mt19937& random) {
    switch (random() % 6) {
    case 0: // flip some bytes
        for (size_t k = 0; k < 1 + random() % 3 && !piece.empty(); ++k)
            piece[random() % piece.size()] = static_cast<char>(random());
        break;
    case 1: // cut short
        piece.resize(random() % (piece.size() + 1));
        break;
    case 2: // doubled
        piece += piece;
        break;
    case 3: { // random bytes, sometimes long
        size_t length = random() % 8 == 0 ? random() % 20000 : random() % 64;
        piece.assign(length, '\0');
        for (char& c : piece) c = static_cast<char>(random());
        break;
    }
    default: // unchanged
        break;
    }
    return piece;
}

// One session against the server; never waits for a reply, drains what has arrived.
void FuzzSession(int port, std::mt19937& random) {
    int fd = testsupport::ConnectLoopback(port);
    if (fd < 0) return;
    int pieces = 1 + static_cast<int>(random() % 12);
    char sink[4096];
    for (int i = 0; i < pieces; ++i) {
        if (random() % 10 == 0) ::send(fd, "!", 1, MSG_OOB | MSG_NOSIGNAL);
        std::string piece = kCommands[random() % kCommands.size()];
        if (random() % 3 == 0) piece = Mutate(piece, random);
        ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        while (::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
        }
        if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    switch (random() % 3) {
    case 0:
        break; // plain close
    case 1:
        ::shutdown(fd, SHUT_WR);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 5));
        break;
    default:
        testsupport::SetAbortiveClose(fd);
        break;
    }
    testsupport::CloseFd(fd);
}

TEST(SmtpFuzz, MutatedAndRandomSessionsLeaveTheServerServing) {
    const int sessions = EnvNumber("VANTRO_FUZZ_SESSIONS", 3000);
    const unsigned seed = static_cast<unsigned>(EnvNumber("VANTRO_FUZZ_SEED", 20261208));
    ServerFixture f(3);
    std::atomic<bool> done{false};
    std::thread clients([&] {
        std::mt19937 random(seed);
        for (int i = 0; i < sessions; ++i) FuzzSession(f.port, random);
        done = true;
    });
    testsupport::PumpUntil([&] { return done.load(); }, 600000);
    clients.join();
    ASSERT_TRUE(done);
    // Every fuzzed session ends: none is left spinning, paused or half torn down.
    EXPECT_TRUE(
        testsupport::PumpUntil([&] { return f.server->ListenSocket().ClientCount() == 0; }, 30000))
        << f.server->ListenSocket().ClientCount() << " sessions left of " << sessions;

    size_t messagesBefore = static_cast<size_t>(f.LastParts());
    RawClient c(f.port);
    c.Login();
    EXPECT_EQ(c.Send("MAIL FROM:<a@b.example>\r\n"), "250 OK\r\n");
    EXPECT_EQ(c.Send("RCPT TO:<c@d.example>\r\n"), "250 OK Send to <c@d.example> is allowed\r\n");
    EXPECT_EQ(c.Send("DATA\r\n"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(c.Send("Subject: after\r\n\r\nstill here\r\n.\r\n"), "250 OK \r\n");
    EXPECT_EQ(static_cast<size_t>(f.LastParts()), messagesBefore + 1);
    std::string all = f.Message();
    ASSERT_GE(all.size(), 12u);
    EXPECT_EQ(all.substr(all.size() - 12), "still here\r\n");
}

} // namespace
