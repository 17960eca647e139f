#include "smtpserver/smtp_server.h"

#include "smtpserver/smtp_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace smtpserver {

TSmtpServer::TSmtpServer(platform::TComponent* owner)
    : platform::TComponent(owner), server_(std::make_unique<asyncsock::TAsyncSocketServer>()) {
    SetUpListener(*server_);
}

void TSmtpServer::SetUpListener(asyncsock::TAsyncSocketServer& listener) {
    listener.MaxClients = 0;
    listener.BannerToBusy = "502 Server overload, too many users.\r\n";
    listener.ComponentOptions = {asyncsock::TAsyncSocketOption::asoNoReceiveLoop};
    listener.ClientClass = [] { return std::make_unique<TSmtpClient>(); };
    listener.OnClientConnect = [this](asyncsock::TCustomAsyncSocket*,
                                      asyncsock::TAsyncSocketClient* client, uint16_t error) {
        if (error == 0) SessionSetUp(client);
    };
    listener.OnClientDisconnect = [this](asyncsock::TCustomAsyncSocket*,
                                         asyncsock::TAsyncSocketClient* client,
                                         uint16_t) { SessionTearDown(client); };
    // Whatever escapes the listening socket's own message handling (a failed accept, for
    // one) must not close it: the server keeps listening and the error is dropped.
    listener.OnBgException = [](asyncsock::TCustomAsyncSocket*, const std::exception&,
                                bool& canClose) { canClose = false; };
}

TSmtpServer::~TSmtpServer() {
    MarkDestroying();
    // Frees every remaining session without OnClientDisconnect.
    server6_.reset();
    server_.reset();
}

int TSmtpServer::ClientCount() const {
    return server_->ClientCount() + (server6_ ? server6_->ClientCount() : 0);
}

void TSmtpServer::Listen(asyncsock::TAsyncSocketServer& listener, const std::string& address) {
    listener.MaxClients = MaxUser;
    listener.SetAddr(address);
    listener.SetLocalAddr("0.0.0.0");
    listener.SetPort(SrvPort);
    listener.SetLocalPort(SrvPort);
    listener.Listen();
}

void TSmtpServer::SetActive(bool value) {
    if (value == active_) return;
    if (value) {
        Listen(*server_, SrvAddr);
        ipv6Problem_.clear();
        if (!SrvAddr6.empty()) {
            if (!server6_) {
                server6_ = std::make_unique<asyncsock::TAsyncSocketServer>();
                SetUpListener(*server6_);
            }
            try {
                Listen(*server6_, SrvAddr6);
            } catch (const std::exception& e) {
                // A machine without IPv6 (or with the port taken there by another program)
                // still serves IPv4: the reason is kept for the owner to say, not raised.
                ipv6Problem_ = e.what();
                server6_->Close();
            }
        }
    } else {
        server_->Close();
        if (server6_) server6_->Close();
    }
    active_ = value;
}

void TSmtpServer::Debug(TSmtpClient* client, TDebugType type, const std::string& text) {
    if (!DebugMode || !OnServerDebug) return;
    std::string info = text;
    if (info.size() >= 2 && info.compare(info.size() - 2, 2, "\r\n") == 0)
        info.resize(info.size() - 2);
    try {
        OnServerDebug(this, client, type, info);
    } catch (...) {
        // a debug observer must never disturb the session
    }
}

void TSmtpServer::SessionSetUp(asyncsock::TAsyncSocketClient* client) {
    try {
        if (OnClientConnect) OnClientConnect(this, client);
    } catch (...) {
        // the application's connect handler cannot refuse or break the session
    }
    try {
        auto* session = dynamic_cast<TSmtpClient*>(client);
        if (!session) return;
        session->OnDataAvailable = [session](asyncsock::TCustomAsyncSocket*, uint16_t error) {
            session->ProcessData(error);
        };
        // A failure in the session's own message handling (a send error on a write
        // notification, say) aborts only that connection.
        session->OnBgException = [](asyncsock::TCustomAsyncSocket*, const std::exception&,
                                    bool& canClose) { canClose = true; };
        session->ComponentOptions = {asyncsock::TAsyncSocketOption::asoNoReceiveLoop};
        session->MultiThreaded = true;
        session->SessionState = TSessionState::WaitHelo;
        session->LoggedIn = false;
        session->Recipients = std::make_unique<std::vector<std::string>>();
        session->MailFrom.clear();
        session->SetLineMode(false);
        session->LineEdit = false;
        session->SmtpServer = this;
        // The greeting and the banner are two sends; with send coalescing the banner would
        // wait for the client's delayed acknowledgement before the client can answer.
        int one = 1;
        setsockopt(session->Handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        // No CR LF: the listening server's banner completes the greeting line.
        session->SendReply(HelloMessage.empty() ? std::string("220  SMTP Server Ready.")
                                                : "220 " + HelloMessage);
    } catch (...) {
        // set-up failures leave the connection to the socket layer's own handling
    }
}

void TSmtpServer::SessionTearDown(asyncsock::TAsyncSocketClient* client) {
    try {
        if (OnClientDisconnect) OnClientDisconnect(this, client);
    } catch (...) {
        // the session is freed whatever the handler does
    }
    try {
        if (auto* session = dynamic_cast<TSmtpClient*>(client)) session->Recipients.reset();
    } catch (...) {
        // nothing to do: the object is freed next
    }
}

} // namespace smtpserver
