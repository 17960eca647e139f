#include "app/core/inbound_server.h"

#include <utility>

namespace app {

InboundServer::InboundServer(const Listening& listening, std::shared_ptr<store::Spool> spool,
                             HandOver handOver)
    : spool_(std::move(spool)), handOver_(std::move(handOver)) {
    server_.SrvAddr = listening.address;
    server_.SrvAddr6 = listening.address6;
    server_.SrvPort = listening.port;
    server_.OnUsername = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket* c,
                                const std::string&, std::string&, bool& shouldClose) {
        if (!handOver_.peerAllowed(c->PeerAddr())) shouldClose = true;
    };
    server_.OnMailFrom = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket* c,
                                const std::string& a,
                                std::string& answer) { MailFrom(c, a, answer); };
    server_.OnMailTo = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket* c,
                              const std::string& a, std::string& answer) { MailTo(c, a, answer); };
    server_.OnSendData = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket* c, bool last,
                                const std::string& piece) { Data(c, last, piece); };
    server_.OnClientDisconnect = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket* c) {
        Disconnected(c);
    };
    server_.OnCommandDelayed = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*) {
        handOver_.commandDelayed();
    };
}

void InboundServer::Start() {
    ring_.ResetCurrentSlot();
    server_.SetActive(true);
}

std::string InboundServer::ListeningIpv6() const {
    return server_.Active() && server_.Ipv6Problem().empty() ? server_.SrvAddr6 : std::string();
}

void InboundServer::MailFrom(asyncsock::TAsyncSocket* client, const std::string& address,
                             std::string& answer) {
    if (spool_ && !spool_->Ok()) {
        // Nowhere to keep it: a message accepted now could be lost.
        answer = "451 4.3.0 Cannot store messages now, try again later";
        return;
    }
    if (ring_.MailFrom(client, address) == 0) {
        // SlotRing::kMaxFilling messages are being received at this very moment: spare slots
        // past the ten stop there, so that a peer cannot make the ring grow without bound.
        answer = "451 4.3.2 Too many messages at once, try again later";
        return;
    }
    ring_.BindAccount(client, handOver_.mailFrom(address));
}

void InboundServer::MailTo(asyncsock::TAsyncSocket* client, const std::string& address,
                           std::string& answer) {
    // Without a slot (its MAIL was refused) the recipient is refused too, so DATA fails
    // instead of a message being accepted and lost.
    if (!ring_.HasEnvelope(client)) {
        answer = "503 5.5.1 MAIL first";
        return;
    }
    if (address.find('@') != std::string::npos || !handOver_.localName) {
        ring_.MailTo(client, address);
        return;
    }
    for (const std::string& resolved : handOver_.localName(address, answer))
        ring_.MailTo(client, resolved);
}

void InboundServer::Data(asyncsock::TAsyncSocket* client, bool lastPart, const std::string& piece) {
    // With a spool the text lives in its file and the delivery reads it from there: a large
    // message is not held in memory as well.
    auto completed = ring_.SendData(client, lastPart, piece, !spool_);
    std::string spoolId;
    if (spool_) {
        const MessageSlot* slot = completed ? nullptr : ring_.FillingSlot(client);
        if (!completed && !slot) return; // no envelope: nothing is being received
        spoolId =
            SpoolPiece(client, completed ? completed->sender : slot->sender,
                       completed ? completed->recipientText : slot->recipientText, lastPart, piece);
    }
    if (completed) handOver_.accepted(std::move(*completed), spoolId);
}

void InboundServer::Disconnected(asyncsock::TAsyncSocket* client) {
    ring_.Release(client);
    auto spooling = spooling_.find(client);
    if (spooling == spooling_.end()) return;
    if (spool_) spool_->Discard(spooling->second); // never confirmed to its client
    spooling_.erase(spooling);
}

std::string InboundServer::SpoolPiece(asyncsock::TAsyncSocket* client, const std::string& sender,
                                      const std::string& recipientText, bool lastPart,
                                      const std::string& piece) {
    auto found = spooling_.find(client);
    if (found == spooling_.end())
        found = spooling_.emplace(client, spool_->Begin(sender, recipientText).value_or("")).first;
    std::string& id = found->second;
    if (!id.empty() && !spool_->Append(id, piece)) id.clear(); // Append dropped the file
    if (!lastPart) return std::string();
    std::string committed = std::move(id);
    spooling_.erase(found);
    if (committed.empty() || !spool_->Commit(committed))
        throw smtpserver::ERefuseMessage("451 4.3.0 Could not store the message, try again later");
    return committed;
}

} // namespace app
