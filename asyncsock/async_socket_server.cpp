#include "asyncsock/async_socket_server.h"

#include <algorithm>

namespace asyncsock {

// ---- client --------------------------------------------------------------------------

void TAsyncSocketClient::Dup(int handle) {
    TAsyncSocket::Dup(handle);
    peerAddr_ = TAsyncSocket::PeerAddr();
    peerPort_ = TAsyncSocket::PeerPort();
}

void TAsyncSocketClient::SendBanner() {
    if (!Banner.empty()) SendText(Banner + "\r\n");
}

void TAsyncSocketClient::NotifySessionClosed(uint16_t error) {
    if (!closeReported_) {
        closeReported_ = true;
        if (Server)
            platform::MessageLoop::PostMessage(Server->Window(), kMsgClientClosed, 0,
                                               static_cast<intptr_t>(serial_));
    }
    TAsyncSocket::NotifySessionClosed(error);
}

// ---- server --------------------------------------------------------------------------

TCustomAsyncSocketServer::TCustomAsyncSocketServer(platform::TComponent* owner)
    : TAsyncSocket(owner) {
    ClientClass = [] { return std::make_unique<TAsyncSocketClient>(); };
}

TCustomAsyncSocketServer::~TCustomAsyncSocketServer() {
    // Clients go first, last to first, while the server is whole; being destroyed, they
    // close without notifications, so no OnClientDisconnect is raised for them.
    DestroyComponents();
}

TAsyncSocketClient* TCustomAsyncSocketServer::GetClient(int index) const {
    if (index < 0 || index >= static_cast<int>(clientList_.size())) return nullptr;
    return clientList_[static_cast<size_t>(index)];
}

bool TCustomAsyncSocketServer::IsClient(const TAsyncSocketClient* client) const {
    return std::find(clientList_.begin(), clientList_.end(), client) != clientList_.end();
}

TAsyncSocketClient* TCustomAsyncSocketServer::ClientBySerial(uint64_t serial) const {
    auto it = std::find_if(clientList_.begin(), clientList_.end(),
                           [serial](const TAsyncSocketClient* c) { return c->Serial() == serial; });
    return it == clientList_.end() ? nullptr : *it;
}

void TCustomAsyncSocketServer::Notification(platform::TComponent* component, TOperation operation) {
    TAsyncSocket::Notification(component, operation);
    if (operation == TOperation::opInsert) {
        if (auto* client = dynamic_cast<TAsyncSocketClient*>(component))
            clientList_.push_back(client);
    } else {
        // Compared as components: the object is about to be destroyed.
        auto it = std::find_if(clientList_.begin(), clientList_.end(), [&](TAsyncSocketClient* c) {
            return static_cast<platform::TComponent*>(c) == component;
        });
        if (it != clientList_.end()) clientList_.erase(it);
    }
}

void TCustomAsyncSocketServer::NotifyClientCreate(TAsyncSocketClient* client) {
    if (OnClientCreate) OnClientCreate(this, client);
}
void TCustomAsyncSocketServer::NotifyClientConnect(TAsyncSocketClient* client, uint16_t error) {
    if (OnClientConnect) OnClientConnect(this, client, error);
}
void TCustomAsyncSocketServer::NotifyClientDisconnect(TAsyncSocketClient* client, uint16_t error) {
    if (OnClientDisconnect) OnClientDisconnect(this, client, error);
}

void TCustomAsyncSocketServer::NotifySessionAvailable(uint16_t error) {
    TAsyncSocket::NotifySessionAvailable(error);
    if (error != 0) return;
    ++clientNum_;
    TAsyncSocketClient* client = Adopt(ClientClass());
    client->serial_ = ++lastSerial_;
    NotifyClientCreate(client);
    client->SetName(Name() + "Client" + std::to_string(clientNum_));
    client->Banner = Banner;
    client->Server = this;
    try {
        client->Dup(Accept());
    } catch (...) {
        // Without a connection the object would only sit in the list and count against
        // MaxClients; under descriptor exhaustion that would grow on every retry.
        if (client->State() != TSocketState::asConnected) FreeComponent(client);
        throw;
    }
    NotifyClientConnect(client, error);
    if (!IsClient(client) || client->State() != TSocketState::asConnected) return;
    if (MaxClients <= 0) {
        client->SendBanner();
    } else if (ClientCount() > MaxClients) {
        client->Banner = BannerToBusy;
        client->SendBanner();
        client->Close();
    } else {
        client->SendBanner();
    }
}

void TCustomAsyncSocketServer::HandleMessage(const platform::Message& message) {
    if (message.msg != kMsgClientClosed) return TAsyncSocket::HandleMessage(message);
    // Named by serial, never by address: a client freed by other means meanwhile (a failed
    // accept frees its object at once) may have its address reused by a live session.
    TAsyncSocketClient* client = ClientBySerial(static_cast<uint64_t>(message.lParam));
    if (!client) return;
    struct FreeAfter {
        TCustomAsyncSocketServer* server;
        TAsyncSocketClient* client;
        ~FreeAfter() { server->FreeComponent(client); }
    } freeAfter{this, client};
    NotifyClientDisconnect(client, 0);
}

} // namespace asyncsock
