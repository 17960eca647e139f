// The inbound SMTP server component: one listening server of the socket layer whose
// accepted connections become TSmtpClient sessions. Everything runs on the thread that
// created the component, one event at a time; the reply to a command is sent only after its
// event handler has returned.
//
// Threat and limits: any peer that reaches the port gets a session (MaxUser 0: no count
// limit; the descriptor limit bounds them, and the listener waits for room rather than
// failing). Who may relay is the application's decision at HELO (OnUsername). Lines and
// message text are handed on as they arrive, never gathered whole here, so a peer cannot
// make this layer hold more than one receive buffer per session.
#pragma once

#include "asyncsock/async_socket_server.h"
#include "platform/component.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace smtpserver {

using asyncsock::TAsyncSocket;

enum class TDebugType { dtReceived, dtSent, dtError };

class TSmtpServer;
class TSmtpClient;

using TSmtpClientConnect = std::function<void(TSmtpServer* Sender, TAsyncSocket* Client)>;
using TSmtpClientDisconnect = TSmtpClientConnect;
using TSmtpClientUserEvent =
    std::function<void(TSmtpServer* Sender, TAsyncSocket* Client, const std::string& Username,
                       std::string& Answer, bool& ShouldClose)>;
using TSmtpClientMailFrom = std::function<void(TSmtpServer* Sender, TAsyncSocket* Client,
                                               const std::string& Adress, std::string& Answer)>;
using TSmtpClientMailTo = TSmtpClientMailFrom;
using TSmtpClientVRFY =
    std::function<void(TSmtpServer* Sender, TAsyncSocket* Client, const std::string& User,
                       bool& KnownUser, std::string& MailAddr)>;
using TSmtpClientMailSendInit = TSmtpClientConnect;
using TSmtpClientMailSendData = std::function<void(TSmtpServer* Sender, TAsyncSocket* Client,
                                                   bool LastPart, const std::string& Msg)>;
using TSmtpClientReset =
    std::function<void(TSmtpServer* Sender, TAsyncSocket* Client, std::string& Answer)>;
using TSmtpClientQuit = TSmtpClientReset;
using TSmtpClientHelp = std::function<void(TSmtpServer* Sender, TAsyncSocket* Client,
                                           const std::string& Command, std::string& Answer)>;
using TSmtpClientUnknownCmd = std::function<void(TSmtpServer* Sender, TAsyncSocket* Client,
                                                 const std::string& Cmd, std::string& Answer)>;
using TSMTPServerDebug =
    std::function<void(TSmtpServer* Sender, TAsyncSocket* Client, TDebugType DebugType,
                       const std::string& OptInformation)>;

// Thrown by an OnSendData handler for the last part of a message it cannot keep (the disk
// is full, say): the client gets what() as the reply instead of "250 OK ", and the session
// takes commands again. Without it a message the relay could not store would be confirmed.
class ERefuseMessage : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TSmtpServer : public platform::TComponent {
  public:
    explicit TSmtpServer(platform::TComponent* owner = nullptr);
    ~TSmtpServer() override;

    std::string SrvAddr = "0.0.0.0";
    // An IPv6 address to listen on as well, at the same port ("::" for all; empty: none).
    // Its sessions are the server's like the others. Where IPv6 is missing or the address
    // cannot be had, the server listens on SrvAddr alone and Ipv6Problem() says why.
    std::string SrvAddr6;
    std::string SrvPort = "Smtp";
    bool DebugMode = false;
    std::string HelloMessage = "220  SMTP Server Ready.";
    int MaxUser = 0;
    uint8_t DelayAfterCmd = 3;

    bool Active() const { return active_; }
    // true: listen on SrvAddr:SrvPort (throws the socket layer's ESocketException, Active
    // stays false), and on SrvAddr6 when set; false: close the listening sockets, sessions go
    // on.
    void SetActive(bool value);
    // Why the server does not listen on SrvAddr6 (empty while it does, or none is set).
    const std::string& Ipv6Problem() const { return ipv6Problem_; }
    // Sessions open now, over both listeners.
    int ClientCount() const;

    TSmtpClientConnect OnClientConnect;
    TSmtpClientDisconnect OnClientDisconnect;
    TSmtpClientUserEvent OnUsername;
    TSmtpClientVRFY OnVerifyUser;
    TSmtpClientMailFrom OnMailFrom;
    TSmtpClientMailTo OnMailTo;
    TSmtpClientMailSendInit OnSendDataInit;
    TSmtpClientMailSendData OnSendData;
    TSmtpClientReset OnReset;
    TSmtpClientHelp OnHelp;
    TSmtpClientUnknownCmd OnUnknownCmd;
    TSmtpClientQuit OnQuit;
    TSMTPServerDebug OnServerDebug;
    // A command's reply has begun its wait of DelayAfterCmd ms. Its client, waiting for that
    // reply, sends nothing meanwhile as a rule: a moment for work that would otherwise hold
    // up some reply. Not raised while DelayAfterCmd is 0.
    TSmtpClientConnect OnCommandDelayed;

    asyncsock::TAsyncSocketServer& ListenSocket() { return *server_; }
    // Raises OnServerDebug when DebugMode is on and a handler is set; one trailing CR LF is
    // dropped and the handler's exceptions are swallowed.
    void Debug(TSmtpClient* client, TDebugType type, const std::string& text);

  private:
    // The listening socket's settings and events, the same for both listeners.
    void SetUpListener(asyncsock::TAsyncSocketServer& listener);
    void Listen(asyncsock::TAsyncSocketServer& listener, const std::string& address);
    void SessionSetUp(asyncsock::TAsyncSocketClient* client);
    void SessionTearDown(asyncsock::TAsyncSocketClient* client);

    bool active_ = false;
    std::unique_ptr<asyncsock::TAsyncSocketServer> server_;
    std::unique_ptr<asyncsock::TAsyncSocketServer> server6_;
    std::string ipv6Problem_;
};

} // namespace smtpserver
