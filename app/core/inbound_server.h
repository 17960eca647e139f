// The relay's inbound side: the SMTP server, the slots its transactions fill and the spool
// files their texts go into, from a client's HELO to the message it hands over whole. The
// core sees a transaction only through its hand-over: the account chosen for a sender at
// MAIL, the addresses a local name stands for at RCPT, and the message, accepted whole once
// its spool file is committed and before the client's "250 OK " goes out. A message that
// cannot be kept is refused with a 4xx instead of confirmed.
//
// Runs on the thread that made it (that thread's loop drives the server); it owns the server,
// the ring and the spool files being written, and shares the spool with the core.
#pragma once

#include "app/core/slot_ring.h"
#include "smtpserver/smtp_server.h"
#include "store/spool.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace app {

class InboundServer {
  public:
    // What a transaction hands to the core; each runs on the server's thread.
    struct HandOver {
        // HELO from a peer: whether it may relay.
        std::function<bool(const std::string& peerAddress)> peerAllowed;
        // MAIL accepted: the account its message goes out through.
        std::function<BoundAccount(const std::string& sender)> mailFrom;
        // RCPT to a name without a domain: its addresses, or none with `answer` the refusal.
        // Unset: the name is taken as given.
        std::function<std::vector<std::string>(const std::string& name, std::string& answer)>
            localName;
        // A message accepted whole, with its spool file's id (empty without a spool).
        std::function<void(CompletedMessage message, const std::string& spoolId)> accepted;
        // A command delay has begun: a moment in which no client waits for a reply.
        std::function<void()> commandDelayed;
    };

    struct Listening {
        std::string address = "0.0.0.0";
        std::string address6; // empty: no IPv6 listener
        std::string port = "Smtp";
    };

    // `spool` may be null: texts are then held in the ring.
    InboundServer(const Listening& listening, std::shared_ptr<store::Spool> spool,
                  HandOver handOver);

    // Throws the socket layer's exception when it cannot listen.
    void Start();
    // No new sessions; transactions being received are not confirmed.
    void Stop() { server_.SetActive(false); }
    bool Active() const { return server_.Active(); }
    // The IPv6 address listened on too, or empty (none wanted, or it failed: Ipv6Problem).
    std::string ListeningIpv6() const;
    const std::string& Ipv6Problem() const { return server_.Ipv6Problem(); }
    void SetReplyDelay(int ms) { server_.DelayAfterCmd = ms; }
    SlotRing& Ring() { return ring_; }

  private:
    void MailFrom(asyncsock::TAsyncSocket* client, const std::string& address, std::string& answer);
    void MailTo(asyncsock::TAsyncSocket* client, const std::string& address, std::string& answer);
    void Data(asyncsock::TAsyncSocket* client, bool lastPart, const std::string& piece);
    void Disconnected(asyncsock::TAsyncSocket* client);
    // Writes a piece to the connection's spool file; the committed id at the last part.
    // Throws ERefuseMessage when the message could not be kept.
    std::string SpoolPiece(asyncsock::TAsyncSocket* client, const std::string& sender,
                           const std::string& recipientText, bool lastPart,
                           const std::string& piece);

    std::shared_ptr<store::Spool> spool_;
    HandOver handOver_;
    SlotRing ring_;
    // Connections whose message is being written to the spool; an empty id: it could not be.
    std::unordered_map<asyncsock::TAsyncSocket*, std::string> spooling_;
    // Last: its events reach the members above until it is gone.
    smtpserver::TSmtpServer server_;
};

} // namespace app
