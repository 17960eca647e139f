// Listening socket that makes one client object per accepted connection, keeps the live
// clients, enforces an optional client limit with a refusal banner, and frees each client
// one message-loop pass after its close (message 1054), never inside the client's own
// event handlers.
#pragma once

#include "asyncsock/line_socket.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace asyncsock {

class TCustomAsyncSocketServer;

class TAsyncSocketClient : public TAsyncSocket {
  public:
    using TAsyncSocket::TAsyncSocket;

    std::string Banner;
    TCustomAsyncSocketServer* Server = nullptr;
    bool CloseReported() const { return closeReported_; }
    // Unique among the clients its server ever made; names it in the close message (1054).
    uint64_t Serial() const { return serial_; }

    // Captures the peer's address and port, which stay readable after the close.
    void Dup(int handle) override;
    std::string PeerAddr() override { return peerAddr_; }
    std::string PeerPort() override { return peerPort_; }
    virtual void SendBanner();

  protected:
    void NotifySessionClosed(uint16_t error) override;

  private:
    friend class TCustomAsyncSocketServer;
    std::string peerAddr_;
    std::string peerPort_;
    bool closeReported_ = false;
    uint64_t serial_ = 0;
};

// Makes the object for an accepted connection (the "client class").
using TAsyncSocketClientClass = std::function<std::unique_ptr<TAsyncSocketClient>()>;

using TAsyncSocketClientCreateEvent =
    std::function<void(TCustomAsyncSocket* Sender, TAsyncSocketClient* Client)>;
using TAsyncSocketClientConnectEvent =
    std::function<void(TCustomAsyncSocket* Sender, TAsyncSocketClient* Client, uint16_t Error)>;

class TCustomAsyncSocketServer : public TAsyncSocket {
  public:
    explicit TCustomAsyncSocketServer(platform::TComponent* owner = nullptr);
    ~TCustomAsyncSocketServer() override;

    std::string Banner = "Welcome to TcpSrv";
    std::string BannerToBusy = "Sorry, too many clients";
    TAsyncSocketClientClass ClientClass;
    int MaxClients = 0;
    TAsyncSocketClientCreateEvent OnClientCreate;
    TAsyncSocketClientConnectEvent OnClientConnect;
    TAsyncSocketClientConnectEvent OnClientDisconnect;

    // Includes clients whose connection has closed but which are not freed yet.
    virtual int ClientCount() const { return static_cast<int>(clientList_.size()); }
    // nullptr outside 0 .. ClientCount()-1.
    virtual TAsyncSocketClient* GetClient(int index) const;
    int ClientNum() const { return clientNum_; }
    bool IsClient(const TAsyncSocketClient* client) const;
    // The live client with this serial, or nullptr.
    TAsyncSocketClient* ClientBySerial(uint64_t serial) const;

  protected:
    void HandleMessage(const platform::Message& message) override;
    void Notification(platform::TComponent* component, TOperation operation) override;
    void NotifySessionAvailable(uint16_t error) override;
    virtual void NotifyClientCreate(TAsyncSocketClient* client);
    virtual void NotifyClientConnect(TAsyncSocketClient* client, uint16_t error);
    virtual void NotifyClientDisconnect(TAsyncSocketClient* client, uint16_t error);

  private:
    std::vector<TAsyncSocketClient*> clientList_;
    int clientNum_ = 0;
    uint64_t lastSerial_ = 0;
};

class TAsyncSocketServer : public TCustomAsyncSocketServer {
  public:
    using TCustomAsyncSocketServer::TCustomAsyncSocketServer;
};

} // namespace asyncsock
