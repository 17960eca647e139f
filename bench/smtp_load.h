// A blocking SMTP load generator: N client threads, each one session that sends M messages
// of a given size, timing each message from its final "." to the server's reply.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct LoadResult {
    int messages = 0;
    int failures = 0;
    double seconds = 0;
    std::vector<double> latenciesMs; // final "." -> reply, per message
    double Rate() const { return seconds > 0 ? messages / seconds : 0; }
    double Percentile(double p) const;
};

// The recipients of message `message` of client `client`.
using RecipientsOf = std::function<std::vector<std::string>(int client, int message)>;

// Every message to "sink@example.net", or to the recipients `recipients` names.
LoadResult RunSmtpLoad(int port, int clients, int messagesPerClient, int messageBytes,
                       const RecipientsOf& recipients = {});

// `total` messages numbered 0..total-1 ("Subject: <n>"), spread over `clients` sessions
// (a new session after a failure, until `stop` is set). `accepted` is called with the number
// of each message answered "250 OK"; on any thread.
void RunNumberedLoad(int port, int clients, int total, const std::function<void(int)>& accepted,
                     const std::atomic<bool>& stop);

// A loopback port that was free a moment ago, for a server of the benchmarks.
int FreeLoopbackPort();

// A socket listening on 127.0.0.1 at a port of the system's choosing (into `port`), for a
// peer of a benchmark's own; -1 when it cannot be had.
int ListenOnLoopback(int backlog, int& port);

// A 1 KB-ish message body of `bytes` bytes with CR LF lines, no line starting with a dot.
std::string MakeBody(int bytes);

} // namespace bench
