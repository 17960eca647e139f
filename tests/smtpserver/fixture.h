// A TSmtpServer on 127.0.0.1 with a port of the test's choosing, its events recorded, and
// raw clients whose exchanges keep the loop running.
#pragma once

#include "smtpserver/smtp_server.h"
#include "smtpserver/smtp_session.h"
#include "tests/support/loopback.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace smtptest {

struct Delivered {
    bool lastPart;
    std::string msg;
};

struct ServerFixture {
    std::unique_ptr<smtpserver::TSmtpServer> server = std::make_unique<smtpserver::TSmtpServer>();
    int port = testsupport::FreePort();
    std::vector<std::string> senders;
    std::vector<std::string> recipients;
    std::vector<Delivered> data;
    int disconnects = 0;

    explicit ServerFixture(uint8_t delay = 0, bool start = true) {
        server->SrvAddr = "127.0.0.1";
        server->SrvPort = std::to_string(port);
        server->DelayAfterCmd = delay;
        server->OnMailFrom = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                                    const std::string& a, std::string&) { senders.push_back(a); };
        server->OnMailTo = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                                  const std::string& a, std::string&) { recipients.push_back(a); };
        server->OnSendData = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*, bool last,
                                    const std::string& m) {
            data.push_back({last, m});
        };
        server->OnClientDisconnect = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*) {
            ++disconnects;
        };
        if (start) server->SetActive(true);
    }

    // Text the message handlers received so far, joined.
    std::string Message() const {
        std::string all;
        for (const Delivered& d : data) all += d.msg;
        return all;
    }
    int LastParts() const {
        int n = 0;
        for (const Delivered& d : data) n += d.lastPart ? 1 : 0;
        return n;
    }
};

struct RawClient {
    int fd;
    std::string received;

    explicit RawClient(int port) : fd(testsupport::ConnectLoopback(port)) {}
    ~RawClient() { testsupport::CloseFd(fd); }

    void Drain() {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;)
            received.append(buffer, static_cast<size_t>(n));
    }
    // Serves the loop until the server has sent nothing for `quietMs` (a slow machine may
    // still be answering input sent long before).
    void Settle(int quietMs = 300, int timeoutMs = 10000) {
        size_t seen = received.size();
        auto lastChange = std::chrono::steady_clock::now();
        testsupport::PumpUntil(
            [&] {
                Drain();
                auto now = std::chrono::steady_clock::now();
                if (received.size() != seen) {
                    seen = received.size();
                    lastChange = now;
                }
                return now - lastChange > std::chrono::milliseconds(quietMs);
            },
            timeoutMs);
    }
    // Waits (serving the loop) until `lines` more CR LF-terminated lines have arrived;
    // returns them.
    std::string Lines(int lines, int timeoutMs = 2000) {
        size_t start = received.size();
        auto count = [&] {
            int n = 0;
            for (size_t p = start; (p = received.find("\r\n", p)) != std::string::npos; p += 2) ++n;
            return n;
        };
        testsupport::PumpUntil(
            [&] {
                Drain();
                return count() >= lines;
            },
            timeoutMs);
        return received.substr(start);
    }
    std::string Send(const std::string& bytes, int replyLines = 1) {
        testsupport::SendAll(fd, bytes);
        return Lines(replyLines);
    }
    void SendOnly(const std::string& bytes) {
        testsupport::SendAll(fd, bytes);
        testsupport::PumpFor(20); // lets the server read this piece as a chunk of its own
    }
    // Serves the loop until the server closes or shuts down its side.
    bool ClosedByServer(int timeoutMs = 2000) {
        bool closed = false;
        testsupport::PumpUntil(
            [&] {
                char buffer[4096];
                ssize_t n;
                while ((n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
                    received.append(buffer, static_cast<size_t>(n));
                closed = n == 0 || (n < 0 && errno != EAGAIN);
                return closed;
            },
            timeoutMs);
        return closed;
    }
    // A session past the greeting and HELO.
    void Login(const std::string& name = "mypc") {
        Lines(1);
        Send("HELO " + name + "\r\n");
    }
};

inline const std::string kGreeting = "220 220  SMTP Server Ready.Welcome to TcpSrv\r\n";

} // namespace smtptest
