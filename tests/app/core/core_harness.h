// The relay core without a window, as the core's tests drive it: a core on a loopback port
// relaying to a given upstream with its outcomes and journal lines recorded, and a raw
// submitting client.
#pragma once

#include "app/core/relay_core.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace app {

// What the core's tests look at inside it: the ring's slots and the spool's files.
struct RelayCoreProbe {
    static SlotRing& Ring(RelayCore& core) { return core.Ring(); }
    static store::Spool& Spool(RelayCore& core) { return *core.SpoolOf(); }
};

// A core listening on 127.0.0.1 and relaying to `upstream`, its outcomes recorded.
struct CoreHarness {
    int port = testsupport::FreePort();
    std::unique_ptr<RelayCore> core;
    std::vector<DeliveryOutcome> outcomes;
    int batches = 0;

    std::vector<std::string> journal;

    // `beforeStart` sets what the core needs before its start (a policy, for instance).
    CoreHarness(const std::string& upstreamPort, size_t workers,
                const std::function<void(RelayCoreOptions&)>& adjust = {},
                const std::function<void(RelayCore&)>& beforeStart = {}) {
        RelayCoreOptions options;
        options.srvAddr = "127.0.0.1";
        options.srvPort = std::to_string(port);
        options.relayTimeoutMs = 20000;
        options.workers = workers;
        options.journal = [this](const std::string& line) { journal.push_back(line); };
        if (adjust) adjust(options);
        core = std::make_unique<RelayCore>(options);
        core->SetReplyDelay(0);
        Account account;
        account.mailbox = "relay@mail.example";
        account.host = "127.0.0.1";
        account.port = upstreamPort;
        core->SetAccountInForce(account);
        core->observers.outcomes = [this](const std::vector<DeliveryOutcome>& batch) {
            ++batches;
            outcomes.insert(outcomes.end(), batch.begin(), batch.end());
        };
        if (beforeStart) beforeStart(*core);
        core->Start();
    }
    bool WaitForOutcomes(size_t count, int timeoutMs = 30000) {
        return testsupport::PumpUntil(
            [&] { return outcomes.size() >= count && core->DeliveriesRunning() == 0; }, timeoutMs);
    }
};

// `total` messages from `clients` smtplib clients at once, each client on one session: message
// n comes from "s<n % senders>@local.test" and names its sender in its subject ("Subject:
// <sender> <n>"), so the senders interleave on every client. The loop runs meanwhile.
inline testsupport::ProcessResult SendFromClients(int port, int clients, int total, int senders) {
    const char* script = R"PY(
import smtplib, sys, threading
port, clients, total, senders = (int(a) for a in sys.argv[1:5])
def client(c):
    with smtplib.SMTP("127.0.0.1", port, timeout=60) as s:
        for n in range(c, total, clients):
            sender = "s%d@local.test" % (n % senders)
            s.sendmail(sender, ["r@y.example"], "Subject: %s %d\r\n\r\nx\r\n" % (sender, n))
threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
for t in threads: t.start()
for t in threads: t.join()
)PY";
    return testsupport::RunWhilePumping({"/usr/bin/python3", "-c", script, std::to_string(port),
                                         std::to_string(clients), std::to_string(total),
                                         std::to_string(senders)},
                                        "", 120000);
}

// A raw client past the greeting and HELO whose replies are read line by line.
struct Submitter {
    int fd;
    std::string helloReply;
    explicit Submitter(int port) : Submitter(Connected{testsupport::ConnectLoopback(port)}) {}
    // A connection made by the caller (over IPv6, say); owned from now on.
    struct Connected {
        int fd;
    };
    explicit Submitter(Connected connected) : fd(connected.fd) {
        Reply();
        helloReply = Command("HELO pc\r\n");
    }
    ~Submitter() { testsupport::CloseFd(fd); }
    std::string Reply() {
        std::string line;
        testsupport::PumpUntil(
            [&] {
                char c;
                while (::recv(fd, &c, 1, MSG_DONTWAIT) == 1) {
                    line += c;
                    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
                        return true;
                }
                return false;
            },
            5000);
        return line;
    }
    std::string Command(const std::string& text) {
        testsupport::SendAll(fd, text);
        return Reply();
    }
    // A large text (CR LF lines) dot-stuffed and sent while the replies are read, so that
    // neither side waits for the other; the reply to its end of data.
    std::string LargeMessage(const std::string& from, const std::string& to,
                             const std::string& body) {
        std::string wire;
        for (size_t pos = 0; pos < body.size();) {
            size_t end = body.find("\r\n", pos) + 2;
            if (body[pos] == '.') wire += '.';
            wire.append(body, pos, end - pos);
            pos = end;
        }
        Command("MAIL FROM:<" + from + ">\r\n");
        Command("RCPT TO:<" + to + ">\r\n");
        Command("DATA\r\n");
        std::thread sender([&] { testsupport::SendAll(fd, wire + ".\r\n"); });
        std::string reply = Reply();
        sender.join();
        return reply.empty() ? Reply() : reply;
    }
    // MAIL, RCPT, DATA and the text; the reply to the end of data.
    std::string Message(const std::string& from, const std::string& to, const std::string& body) {
        return MessageTo(from, {to}, body);
    }
    // The same with a RCPT for each recipient.
    std::string MessageTo(const std::string& from, const std::vector<std::string>& to,
                          const std::string& body) {
        std::string mail = Command("MAIL FROM:<" + from + ">\r\n");
        if (mail.substr(0, 3) != "250") return mail;
        for (const std::string& recipient : to) Command("RCPT TO:<" + recipient + ">\r\n");
        Command("DATA\r\n");
        return Command(body + ".\r\n");
    }
};

} // namespace app
