#include "asyncsock/async_socket.h"

#include "asyncsock/resolve.h"
#include "platform/async_net.h"
#include "platform/wsa_numbers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace asyncsock {

using platform::LastSocketError;

namespace {

std::atomic<int> socketObjects{0};

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

// A socket address's host as text: dotted for IPv4, RFC 5952's form for IPv6.
std::string AddressText(const sockaddr_storage& address) {
    if (address.ss_family != AF_INET6)
        return Dotted(reinterpret_cast<const sockaddr_in&>(address).sin_addr);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
              sizeof(text));
    return text;
}

uint16_t PortOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

} // namespace

int TCustomAsyncSocket::ObjectCount() {
    return socketObjects.load();
}

TCustomAsyncSocket::TCustomAsyncSocket(platform::TComponent* owner) : platform::TComponent(owner) {
    window_ = platform::MessageLoop::Current().CreateHiddenWindow(
        [this](const platform::Message& message) {
            try {
                HandleMessage(message);
            } catch (const std::exception& e) {
                HandleEventException(e);
            }
        });
    ResetDefaults();
    ++socketObjects;
}

TCustomAsyncSocket::~TCustomAsyncSocket() {
    MarkDestroying();
    try {
        CancelLookup();
    } catch (...) {
        // destruction goes on whatever a pending look-up says
    }
    if (state_ != TSocketState::asClosed) {
        try {
            TCustomAsyncSocket::Close();
        } catch (...) {
            // a failing close must not stop the release of the handle and the window
        }
    }
    if (fd_ != -1) platform::SockClose(fd_);
    --socketObjects;
    sendList_.clear();
    platform::MessageLoop::Current().DestroyWindow(window_);
}

// ---- properties ----------------------------------------------------------------------

bool TCustomAsyncSocket::ChangeableNow(const char* property) {
    if (state_ == TSocketState::asClosed) return true;
    RaiseSocketException(std::string("Cannot change ") + property + " if not closed");
    return false;
}

void TCustomAsyncSocket::SetAddr(const std::string& value) {
    if (!ChangeableNow("Addr")) return;
    addr_ = TrimBlanks(value);
    addrAssigned_ = !addr_.empty();
    addrResolved_ = false;
}

void TCustomAsyncSocket::SetPort(const std::string& value) {
    if (!ChangeableNow("Port")) return;
    port_ = TrimBlanks(value);
    portAssigned_ = !port_.empty();
    portResolved_ = false;
}

void TCustomAsyncSocket::SetProto(const std::string& value) {
    if (!ChangeableNow("Proto")) return;
    proto_ = TrimBlanks(value);
    protoAssigned_ = !proto_.empty();
    protoResolved_ = false;
    portResolved_ = false; // a service name resolves per protocol
}

void TCustomAsyncSocket::SetLocalAddr(const std::string& value) {
    if (!ChangeableNow("LocalAddr")) return;
    std::string text = value.empty() ? "0.0.0.0" : value;
    in_addr address{};
    if (!ParseDottedQuad(text, address)) {
        RaiseSocketException("SetLocalAddr(): Invalid IP address");
        return;
    }
    localAddr_ = Dotted(address);
}

void TCustomAsyncSocket::SetLocalPort(const std::string& value) {
    if (!ChangeableNow("LocalPort")) return;
    localPort_ = TrimBlanks(value);
    localPortResolved_ = false;
}

void TCustomAsyncSocket::SetSendFlags(int value) {
    if (value == 0)
        sendFlags_ = TSocketSendFlags::asSendNormal;
    else if (value == 1)
        sendFlags_ = TSocketSendFlags::asSendUrgent;
    else
        RaiseSocketException("Invalid SendFlags");
}

std::vector<std::pair<int, int>> TCustomAsyncSocket::SendChunks() const {
    std::vector<std::pair<int, int>> chunks;
    for (const TBuffer& b : sendList_) chunks.emplace_back(b.Capacity(), b.Peek().second);
    return chunks;
}

std::string TCustomAsyncSocket::PeerAddr() {
    if (state_ != TSocketState::asConnected) return "error";
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        ReportSocketError(platform::WsaFromErrno(errno), "GetPeerName");
        return "error";
    }
    return AddressText(peer);
}

std::string TCustomAsyncSocket::PeerPort() {
    if (state_ != TSocketState::asConnected) return "error";
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
        ReportSocketError(platform::WsaFromErrno(errno), "GetPeerPort");
        return "error";
    }
    return std::to_string(PortOf(peer));
}

std::string TCustomAsyncSocket::GetXAddr() {
    sockaddr_storage local{};
    socklen_t len = sizeof(local);
    if (fd_ == -1 || getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return "error";
    return AddressText(local);
}

std::string TCustomAsyncSocket::GetXPort() {
    sockaddr_storage local{};
    socklen_t len = sizeof(local);
    if (fd_ == -1 || getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return "error";
    return std::to_string(PortOf(local));
}

long TCustomAsyncSocket::RawPendingCount() {
    long count = platform::SockPendingBytes(fd_);
    if (count < 0) {
        lastError_ = LastSocketError();
        ReportSocketError(lastError_, "ioctlSocket");
        return -1;
    }
    return count;
}

long TCustomAsyncSocket::RcvdCount() {
    return RawPendingCount();
}

// ---- error reporting and state -------------------------------------------------------

void TCustomAsyncSocket::ReportSocketError(int code, const std::string& function) {
    if (code == platform::kWsaECONNRESET || code == platform::kWsaENOTCONN) {
        if (fd_ != -1) {
            platform::SockClose(fd_);
            fd_ = -1;
        }
        if (state_ != TSocketState::asClosed) {
            NotifySessionClosed(static_cast<uint16_t>(code));
            ChangeState(TSocketState::asClosed);
        }
    }
    lastError_ = code;
    RaiseSocketException("Error " + std::to_string(code) + " in function " + function + "\r\n" +
                         WSocketErrorDesc(code));
}

void TCustomAsyncSocket::RaiseSocketException(const std::string& message) {
    if (OnError) {
        OnError(this);
        return;
    }
    throw ESocketException(message);
}

void TCustomAsyncSocket::HandleEventException(const std::exception& e) {
    bool canClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, e, canClose);
        } catch (...) {
            // the handler's own failure must not escape the window procedure
        }
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
            // nothing more can be done for this connection
        }
    }
}

void TCustomAsyncSocket::ChangeState(TSocketState newState) {
    TSocketState old = state_;
    state_ = newState;
    NotifyChangeState(old, newState);
}

void TCustomAsyncSocket::ResetDefaults() {
    proto_ = "tcp";
    protoAssigned_ = true;
    addrAssigned_ = false;
    portAssigned_ = false;
    addrResolved_ = portResolved_ = localPortResolved_ = protoResolved_ = false;
    protoNumber_ = IPPROTO_TCP;
    sockType_ = SOCK_STREAM;
    localAddr_ = "0.0.0.0";
    localPort_ = "0";
    localPortNumber_ = 0;
    readCount_ = 0;
    FlushTimeout = 60;
    LingerOnOff = TSocketLingerOnOff::asLingerOn;
    LingerTimeout = 0;
    dnsResult_.clear();
    dnsResultList_.clear();
    allSent_ = true;
    closeNotified_ = false;
    paused_ = false;
    readOwed_ = writeOwed_ = closeOwed_ = false;
    closeReadDone_ = false;
    selectEvents_ = 0;
}

// ---- events --------------------------------------------------------------------------

bool TCustomAsyncSocket::NotifyDataAvailable(uint16_t error) {
    if (!OnDataAvailable) return false;
    OnDataAvailable(this, error);
    return true;
}
void TCustomAsyncSocket::NotifySessionAvailable(uint16_t error) {
    if (OnSessionAvailable) OnSessionAvailable(this, error);
}
void TCustomAsyncSocket::NotifySessionConnected(uint16_t error) {
    if (OnSessionConnected) OnSessionConnected(this, error);
}
void TCustomAsyncSocket::NotifySessionClosed(uint16_t error) {
    if (OnSessionClosed) OnSessionClosed(this, error);
}
void TCustomAsyncSocket::NotifyDataSent(uint16_t error) {
    if (OnDataSent) OnDataSent(this, error);
}
void TCustomAsyncSocket::NotifyChangeState(TSocketState oldState, TSocketState newState) {
    if (OnChangeState) OnChangeState(this, oldState, newState);
}
void TCustomAsyncSocket::NotifyDnsLookupDone(uint16_t error) {
    if (OnDnsLookupDone) OnDnsLookupDone(this, error);
}
void TCustomAsyncSocket::NotifyError() {
    if (OnError) OnError(this);
}

// ---- message dispatch ----------------------------------------------------------------

void TCustomAsyncSocket::PostToSelf(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    platform::MessageLoop::PostMessage(window_, msg, wParam, lParam);
}

void TCustomAsyncSocket::HandleMessage(const platform::Message& message) {
    switch (message.msg) {
    case kMsgNotify:
        OnNotification(message.wParam, message.lParam);
        break;
    case kMsgDnsNameDone:
    case kMsgDnsAddrDone:
        if (!lookupPending_) break;
        lookupPending_ = false;
        dnsResultList_ = pendingLookupResult_;
        dnsResult_ = dnsResultList_.empty() ? std::string() : dnsResultList_.front();
        NotifyDnsLookupDone(static_cast<uint16_t>(message.lParam));
        break;
    case kMsgCloseDelayed:
        Close();
        break;
    case kMsgReleaseDelayed:
        // Only an owned object can be freed from its own queue; its owner does it.
        if (Owner()) Owner()->FreeComponent(this);
        break;
    case kMsgTestException:
        throw ESocketException("Test exception in AsyncSocket");
    default:
        break;
    }
}

void TCustomAsyncSocket::OweWhilePaused(uint32_t events) {
    readOwed_ = readOwed_ || (events & platform::kFdRead);
    writeOwed_ = writeOwed_ || (events & platform::kFdWrite);
    closeOwed_ = closeOwed_ || (events & platform::kFdClose);
}

void TCustomAsyncSocket::OnNotification(uintptr_t wParam, intptr_t lParam) {
    int handle = fd_;
    if (handle == -1 || wParam != static_cast<uintptr_t>(handle)) return;
    uint32_t events = platform::NotificationEvents(lParam);
    uint16_t error = platform::NotificationError(lParam);
    if (paused_) return OweWhilePaused(events);
    // A handler may close the socket part-way; the remaining steps belong to that handle only.
    auto stillOurs = [&]() { return fd_ == handle && !paused_; };

    if (events & platform::kFdConnect) {
        if (state_ != TSocketState::asConnected) {
            ChangeState(TSocketState::asConnected);
            NotifySessionConnected(error);
        }
        if (error != 0 && state_ != TSocketState::asClosed) Close();
    }
    if ((events & platform::kFdRead) && stillOurs()) {
        if (state_ != TSocketState::asConnected) {
            ChangeState(TSocketState::asConnected);
            NotifySessionConnected(error);
        }
        bool once = ComponentOptions.count(TAsyncSocketOption::asoNoReceiveLoop) != 0;
        ReceiveStep(error, !once);
    }
    // A read handler that paused the socket (a command waiting out its delay) has the rest
    // of this notification when it resumes.
    if (fd_ == handle && paused_) return OweWhilePaused(events & ~platform::kFdRead);
    if ((events & platform::kFdWrite) && stillOurs()) {
        TryToSend();
        if (allSent_) NotifyDataSent(error);
    }
    if ((events & platform::kFdAccept) && stillOurs()) NotifySessionAvailable(error);
    if ((events & platform::kFdClose) && stillOurs() && state_ != TSocketState::asConnecting) {
        // The close's last read happens once, taking an empty chunk when nothing is pending;
        // a close reported again after a pause reads only what is still pending. Reading
        // again regardless would hand the session an empty chunk at every report, each
        // answered and each pausing it anew: a peer's close would never end the session.
        if (!closeReadDone_ || platform::SockPendingBytes(fd_) > 0) ReceiveStep(0, true);
        closeReadDone_ = true;
        // A handler that paused this socket (a command waiting out its delay) still owes the
        // peer a reply: the close is left for the resume, which reports it again.
        if (paused_) return OweWhilePaused(platform::kFdClose);
        if (!closeNotified_) {
            closeNotified_ = true;
            NotifySessionClosed(error);
        }
        if (state_ != TSocketState::asClosed) Close();
    }
}

void TCustomAsyncSocket::ReceiveStep(uint16_t error, bool loop) {
    try {
        long pendingBefore = LONG_MAX; // what the previous pass left; unknown before the first
        for (;;) {
            lastError_ = 0;
            int readBefore = readCount_;
            if (!NotifyDataAvailable(error)) {
                char discard[1024];
                long n = ReadRaw(discard, sizeof(discard));
                if (n < 0 && LastSocketError() == platform::kWsaEWOULDBLOCK) break;
            }
            // A paused handler reads nothing more until it resumes; looping on its pending
            // bytes would spin the thread forever (a peer can arrange that at will).
            if (!loop || lastError_ != 0 || fd_ == -1 || paused_) break;
            // The socket's own count: the line layer's count of a pending line says nothing
            // about whether the network has more.
            long count = platform::SockPendingBytes(fd_);
            if (count < 0) {
                lastError_ = LastSocketError();
                break;
            }
            if (count == 0) break;
            // A pass that consumed nothing will not consume anything on the next one either.
            if (readCount_ == readBefore && count >= pendingBefore) break;
            pendingBefore = count;
        }
    } catch (...) {
        // A failing data handler must not take the connection down; the step just ends.
    }
}

// ---- listening and taking over -------------------------------------------------------

void TCustomAsyncSocket::ResolveForListen() {
    if (!protoResolved_) {
        protoNumber_ = AsyncSocketResolveProto(proto_);
        sockType_ = protoNumber_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
        protoResolved_ = true;
    }
    if (!portResolved_) {
        sin_.sin_port = htons(AsyncSocketResolvePort(port_, proto_));
        portResolved_ = true;
    }
    if (!addrResolved_) {
        // An IPv6 literal (the only text with a colon) is an IPv6 listener's address; names
        // and dotted quads stay IPv4, as they always were.
        ipv6_ = addr_.find(':') != std::string::npos;
        if (ipv6_ && inet_pton(AF_INET6, addr_.c_str(), &sin6_.sin6_addr) != 1)
            throw ESocketException("AsyncSocketResolveHost: '" + addr_ + "' Invalid IPv6 address.");
        if (!ipv6_) sin_.sin_addr = AsyncSocketResolveHost(addr_);
        addrResolved_ = true;
    }
    sin_.sin_family = AF_INET;
    sin6_.sin6_family = AF_INET6;
    sin6_.sin6_port = sin_.sin_port;
}

bool TCustomAsyncSocket::ReadyToListen() {
    const std::pair<bool, const char*> needs[] = {{portAssigned_, "listen: port not assigned"},
                                                  {protoAssigned_, "listen: protocol not assigned"},
                                                  {addrAssigned_, "listen: address not assigned"}};
    for (const auto& [assigned, message] : needs)
        if (!assigned) {
            ReportSocketError(platform::kWsaEINVAL, message);
            return false;
        }
    return true;
}

void TCustomAsyncSocket::Listen() {
    if (!ReadyToListen()) return;
    try {
        ResolveForListen();
    } catch (const std::exception& e) {
        RaiseSocketException(std::string("listen: ") + e.what());
        return;
    }
    DiscardSendBuffer();
    int fd = platform::SockCreate(ipv6_ ? AF_INET6 : AF_INET, sockType_, protoNumber_);
    if (fd < 0) {
        ReportSocketError(LastSocketError(), "socket");
        return;
    }
    // The handle belongs to the object only once Listen has succeeded; a failure releases
    // it here so that the object can listen again.
    auto fail = [&](int code, const char* function) {
        platform::SockClose(fd);
        fd_ = -1;
        if (state_ != TSocketState::asClosed) ChangeState(TSocketState::asClosed);
        ReportSocketError(code, function);
    };
    fd_ = fd;
    int one = 1;
    if (sockType_ == SOCK_DGRAM && ReuseAddr &&
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0)
        return fail(platform::WsaFromErrno(errno), "setsockopt(SO_REUSEADDR)");
    // Linux refuses to bind a port that still has connections in TIME_WAIT unless this is
    // set; unlike on Windows it never lets two listeners share a port, so a port held by
    // another program still fails with 10048.
    if (sockType_ == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    // IPv6 alone: IPv4 has a listener of its own, and a client's address is never shown in
    // the mapped form (::ffff:a.b.c.d).
    if (ipv6_ && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0)
        return fail(platform::WsaFromErrno(errno), "setsockopt(IPV6_V6ONLY)");
    int bound = ipv6_ ? ::bind(fd, reinterpret_cast<sockaddr*>(&sin6_), sizeof(sin6_))
                      : ::bind(fd, reinterpret_cast<sockaddr*>(&sin_), sizeof(sin_));
    if (bound != 0) return fail(platform::WsaFromErrno(errno), "Bind");
    ChangeState(TSocketState::asBound);
    if (sockType_ == SOCK_DGRAM) {
        ChangeState(TSocketState::asListening);
        ChangeState(TSocketState::asConnected);
        NotifySessionConnected(0);
    } else {
        // Not the classic backlog of 5: when a small queue overflows, Linux answers with SYN
        // cookies and then drops the client's final ACK, so the client believes it is
        // connected while the server never sees the connection. A burst of local mail
        // programs would hang until their own time-outs.
        if (::listen(fd, kListenBacklog) != 0) return fail(platform::WsaFromErrno(errno), "Listen");
        ChangeState(TSocketState::asListening);
    }
    selectEvents_ =
        platform::kFdRead | platform::kFdWrite | platform::kFdAccept | platform::kFdClose;
    int rc = platform::MessageLoop::Current().AsyncSelect(fd, window_, kMsgNotify, selectEvents_);
    if (rc != 0) return fail(rc, "WSAASyncSelect");
}

int TCustomAsyncSocket::Accept() {
    if (state_ != TSocketState::asListening) {
        ReportSocketError(platform::kWsaEINVAL, "not a listening socket");
        return -1;
    }
    int client = platform::SockAccept(fd_, nullptr, nullptr);
    if (client < 0) {
        ReportSocketError(LastSocketError(), "Accept");
        return -1;
    }
    return client;
}

void TCustomAsyncSocket::ApplyLinger() {
    if (LingerOnOff == TSocketLingerOnOff::asLingerNoSet) return;
    if (fd_ == -1) {
        RaiseSocketException("Cannot set linger option at this time");
        return;
    }
    linger value{};
    value.l_onoff = LingerOnOff == TSocketLingerOnOff::asLingerOn ? 1 : 0;
    value.l_linger = LingerTimeout;
    if (setsockopt(fd_, SOL_SOCKET, SO_LINGER, &value, sizeof(value)) != 0)
        ReportSocketError(platform::WsaFromErrno(errno), "setsockopt(SO_LINGER)");
}

void TCustomAsyncSocket::Dup(int handle) {
    if (handle == 0 || handle == -1) {
        ReportSocketError(platform::kWsaEINVAL, "Dup");
        return;
    }
    if (state_ != TSocketState::asClosed) {
        if (fd_ != -1 && platform::SockClose(fd_) != 0) {
            fd_ = -1;
            ReportSocketError(LastSocketError(), "Dup (closesocket)");
            return;
        }
        fd_ = -1;
        ChangeState(TSocketState::asClosed);
    }
    fd_ = handle;
    ApplyLinger();
    selectEvents_ =
        platform::kFdRead | platform::kFdWrite | platform::kFdConnect | platform::kFdClose;
    int rc =
        platform::MessageLoop::Current().AsyncSelect(handle, window_, kMsgNotify, selectEvents_);
    if (rc != 0) {
        ReportSocketError(rc, "WSAAsyncSelect");
        return;
    }
    ChangeState(TSocketState::asConnected);
}

// ---- connecting (not used by the SMTP server, kept for completeness) -----------------

void TCustomAsyncSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(localPortNumber_);
    in_addr address{};
    ParseDottedQuad(localAddr_, address);
    local.sin_addr = address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        int code = platform::WsaFromErrno(errno);
        lastError_ = code;
        RaiseSocketException("winsock.bind failed, error #" + std::to_string(code));
    }
}

void TCustomAsyncSocket::Connect() {
    if (fd_ != -1 && state_ != TSocketState::asClosed) {
        RaiseSocketException("Connect: Socket already in use");
        return;
    }
    if (!portAssigned_) return RaiseSocketException("Connect: No Port Specified");
    if (!addrAssigned_) return RaiseSocketException("Connect: No IP Address Specified");
    if (!protoAssigned_) return RaiseSocketException("Connect: No Protocol Specified");
    try {
        ResolveForListen();
        if (!localPortResolved_) {
            localPortNumber_ =
                AsyncSocketResolvePort(localPort_.empty() ? "0" : localPort_, proto_);
            localPortResolved_ = true;
        }
        // Only listening knows IPv6 here: an outgoing connection is IPv4, as it always was.
        if (ipv6_)
            throw ESocketException("AsyncSocketResolveHost: Cannot convert host address '" + addr_ +
                                   "', Error #" + std::to_string(platform::kWsaHOST_NOT_FOUND));
    } catch (const std::exception& e) {
        RaiseSocketException(std::string("connect: ") + e.what());
        return;
    }
    DiscardSendBuffer();
    int fd = platform::SockCreate(AF_INET, sockType_, protoNumber_);
    if (fd < 0) return ReportSocketError(LastSocketError(), "Connect (socket)");
    fd_ = fd;
    ChangeState(TSocketState::asOpened);
    if (sockType_ == SOCK_STREAM) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (ComponentOptions.count(TAsyncSocketOption::asoTcpNoDelay))
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        ApplyLinger();
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
    }
    if (localPortNumber_ != 0 || localAddr_ != "0.0.0.0") BindLocal();
    selectEvents_ =
        platform::kFdRead | platform::kFdWrite | platform::kFdConnect | platform::kFdClose;
    int rc = platform::MessageLoop::Current().AsyncSelect(fd, window_, kMsgNotify, selectEvents_);
    if (rc != 0) return ReportSocketError(rc, "WSAAsyncSelect");
    if (sockType_ == SOCK_DGRAM) {
        ChangeState(TSocketState::asConnected);
        NotifySessionConnected(0);
        return;
    }
    if (platform::SockConnect(fd, reinterpret_cast<sockaddr*>(&sin_), sizeof(sin_)) == 0 ||
        LastSocketError() == platform::kWsaEWOULDBLOCK) {
        ChangeState(TSocketState::asConnecting);
        return;
    }
    ReportSocketError(LastSocketError(), "Connect");
}

// ---- closing -------------------------------------------------------------------------

void TCustomAsyncSocket::Shutdown(int how) {
    if (fd_ != -1) ::shutdown(fd_, how); // errors are of no interest here
}

void TCustomAsyncSocket::Close() {
    CloseInternal(true, 0);
}

void TCustomAsyncSocket::CloseInternal(bool shutFirst, int error) {
    if (fd_ != -1) {
        if (state_ == TSocketState::asClosed) return;
        if (shutFirst) Shutdown(1);
        int rc = platform::SockClose(fd_);
        int code = LastSocketError();
        fd_ = -1;
        if (rc != 0) {
            lastError_ = code;
            if (code != platform::kWsaNOTINITIALISED) {
                ReportSocketError(code, "Disconnect (closesocket)");
                return;
            }
        }
        ChangeState(TSocketState::asClosed);
        if (!Destroying() && !closeNotified_) {
            closeNotified_ = true;
            NotifySessionClosed(static_cast<uint16_t>(error));
        }
        try {
            ResetDefaults();
        } catch (...) {
            // the reset cannot fail in a way that matters to the closed connection
        }
    } else if (state_ != TSocketState::asClosed) {
        ChangeState(TSocketState::asClosed);
        ResetDefaults();
    }
}

void TCustomAsyncSocket::CloseLater() {
    PostToSelf(kMsgCloseDelayed, 0, 0);
}
void TCustomAsyncSocket::ReleaseLater() {
    PostToSelf(kMsgReleaseDelayed, 0, 0);
}

void TCustomAsyncSocket::Abort() {
    CancelLookup();
    DiscardSendBuffer();
    if (state_ == TSocketState::asConnected && sockType_ == SOCK_STREAM) {
        LingerOnOff = TSocketLingerOnOff::asLingerOff;
        try {
            ApplyLinger();
        } catch (...) {
            // an abort goes ahead even when the option cannot be applied
        }
    }
    CloseInternal(false, 0);
}

void TCustomAsyncSocket::PauseEvents() {
    paused_ = true;
    if (fd_ != -1) platform::MessageLoop::Current().PauseSocket(fd_);
}

void TCustomAsyncSocket::ResumeEvents() {
    paused_ = false;
    bool read = readOwed_, write = writeOwed_, close = closeOwed_;
    readOwed_ = writeOwed_ = closeOwed_ = false;
    if (fd_ == -1) return;
    // What came while paused the loop reports again by itself; only notifications given to
    // this socket meanwhile are asked for once more. A send's completion has no readiness
    // to report again, so it is posted as the send posted it.
    platform::MessageLoop::Current().ResumeSocket(fd_, read, close);
    if (write) PostWriteNotification();
}

void TCustomAsyncSocket::PostWriteNotification() {
    PostToSelf(kMsgNotify, static_cast<uintptr_t>(fd_),
               platform::MakeNotification(platform::kFdWrite, 0));
}

void TCustomAsyncSocket::PumpMessages() {
    platform::MessageLoop::Current().RunOnce(0);
}

void TCustomAsyncSocket::Flush() {
    while (fd_ != -1 && !allSent_) {
        TryToSend();
        PumpMessages();
    }
}

// ---- sending -------------------------------------------------------------------------

void TCustomAsyncSocket::DiscardSendBuffer() {
    sendList_.clear();
}

int TCustomAsyncSocket::Send(const void* data, int len) {
    if (state_ != TSocketState::asConnected) {
        ReportSocketError(platform::kWsaENOTCONN, "Send");
        return -1;
    }
    allSent_ = false;
    if (len > 0) {
        if (sendList_.empty()) sendList_.emplace_back(kSendChunkSize);
        const char* p = static_cast<const char*>(data);
        int left = len;
        for (;;) {
            int taken = sendList_.back().Write(p, left);
            p += taken;
            left -= taken;
            if (left <= 0) break;
            sendList_.emplace_back(kSendChunkSize);
        }
    }
    TryToSend();
    if (allSent_) PostWriteNotification();
    return len < 0 ? 0 : len;
}

int TCustomAsyncSocket::SendText(const std::string& text) {
    if (text.empty()) return 0;
    return Send(text.data(), static_cast<int>(text.size()));
}

long TCustomAsyncSocket::SendRaw(const void* data, int len) {
    int flags = sendFlags_ == TSocketSendFlags::asSendUrgent ? MSG_OOB : 0;
    return platform::SockSend(fd_, data, static_cast<size_t>(len), flags);
}

void TCustomAsyncSocket::TryToSend() {
    if (fd_ == -1 || sendList_.empty()) return;
    for (;;) {
        auto [data, len] = sendList_.front().Peek();
        if (len > 0) {
            long sent = SendRaw(data, len);
            int code = LastSocketError();
            if (sent > 0) {
                if (OnSendData) OnSendData(this, static_cast<int>(sent));
                if (fd_ == -1 || sendList_.empty()) return; // the handler closed or aborted
            }
            if (sent == 0) return;
            if (sent < 0) {
                if (code == platform::kWsaEWOULDBLOCK) return;
                if (code == platform::kWsaEINVAL || code == platform::kWsaENOTSOCK ||
                    code == platform::kWsaECONNABORTED || code == platform::kWsaECONNRESET ||
                    code == platform::kWsaENOTCONN) {
                    closeNotified_ = true;
                    Close();
                    NotifySessionClosed(static_cast<uint16_t>(code));
                    return;
                }
                lastError_ = code;
                ReportSocketError(code, "TryToSend failed");
                return;
            }
            sendList_.front().Remove(static_cast<int>(sent));
            if (sent < len) return;
            continue;
        }
        if (sendList_.size() > 1) {
            sendList_.pop_front();
            continue;
        }
        allSent_ = true;
        return;
    }
}

// ---- receiving -----------------------------------------------------------------------

long TCustomAsyncSocket::RawRead(void* buffer, int len) {
    return platform::SockRecv(fd_, buffer, static_cast<size_t>(len < 0 ? 0 : len));
}

long TCustomAsyncSocket::ReadRaw(void* buffer, int len) {
    return RawRead(buffer, len);
}

int TCustomAsyncSocket::Receive(void* buffer, int len) {
    long n = ReadRaw(buffer, len);
    if (n < 0)
        lastError_ = LastSocketError();
    else
        readCount_ += static_cast<int>(n);
    return static_cast<int>(n);
}

std::string TCustomAsyncSocket::ReceiveText() {
    return ReceiveTextUpTo(INT_MAX);
}

std::string TCustomAsyncSocket::ReceiveTextUpTo(long maxBytes) {
    long count = RcvdCount();
    if (count < 0) return std::string();
    if (count == 0) count = 255;
    count = std::min(count, std::max(1L, maxBytes));
    std::string text(static_cast<size_t>(count), '\0');
    int n = Receive(text.data(), static_cast<int>(count));
    if (n <= 0) return std::string();
    text.resize(static_cast<size_t>(n));
    return text;
}

// ---- host look-ups (not used by the SMTP server) -------------------------------------

void TCustomAsyncSocket::LookupHost(const std::string& name) {
    if (name.empty()) {
        RaiseSocketException("DNS lookup: invalid host name.");
        NotifyDnsLookupDone(platform::kWsaEINVAL);
        return;
    }
    in_addr address{};
    if (ParseDottedQuad(name, address)) {
        dnsResult_ = TrimBlanks(name);
        dnsResultList_ = {dnsResult_};
        NotifyDnsLookupDone(0);
        return;
    }
    // Resolved here and answered through the queue, so the event still arrives later.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    int saved = errno;
    pendingLookupResult_.clear();
    for (addrinfo* ai = result; ai; ai = ai->ai_next)
        pendingLookupResult_.push_back(
            Dotted(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr));
    if (result) freeaddrinfo(result);
    lookupPending_ = true;
    PostToSelf(kMsgDnsNameDone, 0, platform::WsaFromGaiError(rc, saved));
}

void TCustomAsyncSocket::ReverseDnsLookup(const std::string& address) {
    in_addr parsed{};
    if (address.empty() || !ParseDottedQuad(address, parsed)) {
        RaiseSocketException("ReverseDnsLookup: Invalid host name.");
        NotifyDnsLookupDone(platform::kWsaEINVAL);
        return;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = parsed;
    char host[NI_MAXHOST] = {};
    int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof(sin), host, sizeof(host),
                         nullptr, 0, NI_NAMEREQD);
    int saved = errno;
    pendingLookupResult_.clear();
    if (rc == 0) pendingLookupResult_.push_back(host);
    lookupPending_ = true;
    PostToSelf(kMsgDnsAddrDone, 0, platform::WsaFromGaiError(rc, saved));
}

void TCustomAsyncSocket::CancelLookup() {
    if (!lookupPending_) return;
    lookupPending_ = false;
    if (!Destroying()) NotifyDnsLookupDone(platform::kWsaEINTR);
}

} // namespace asyncsock
