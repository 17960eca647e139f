#include "blocksock/blocksock.h"

#include "platform/text.h"
#include "platform/tick.h"
#include "platform/wsa_numbers.h"

#include <algorithm>
#include <cerrno>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace blocksock {

namespace {

int LastPlatformError() {
    return platform::WsaFromErrno(errno);
}

int AddressFamilyOf(TSocketFamily family) {
    switch (family) {
    case TSocketFamily::sfIPv4:
        return AF_INET;
    case TSocketFamily::sfIPv6:
        return AF_INET6;
    default:
        return AF_UNSPEC;
    }
}

int PollTimeout(int timeoutMs) {
    return timeoutMs < 0 ? -1 : timeoutMs;
}

// What is left of `timeoutMs` counted from `start`; -1 (no limit) stays -1.
int RemainingMs(int timeoutMs, uint32_t start) {
    if (timeoutMs < 0) return -1;
    uint32_t spent = platform::TickSpan(start, platform::TickCount());
    return spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
}

} // namespace

// ---- TBlockingSocket -----------------------------------------------------------------

TBlockingSocket::TBlockingSocket() = default;

TBlockingSocket::~TBlockingSocket() {
    if (fd_ != -1) ::close(fd_);
}

int TBlockingSocket::CheckCall(int result) {
    lastErrorCode_ = 0;
    if (result == -1) {
        lastErrorCode_ = LastPlatformError();
        lastErrorText_ = GetErrorDescEx();
    }
    return lastErrorCode_;
}

std::string TBlockingSocket::GetErrorDescEx() {
    return GetErrorDesc(lastErrorCode_);
}

void TBlockingSocket::ReportError() {
    lastErrorText_ = GetErrorDescEx();
    if (lastErrorCode_ == 0 || lastErrorCode_ == platform::kWsaEWOULDBLOCK ||
        lastErrorCode_ == platform::kWsaEINPROGRESS)
        return;
    Status(TSocketStatusReason::StatusError,
           [&] { return std::to_string(lastErrorCode_) + "," + lastErrorText_; });
    if (RaiseExcept)
        throw EBlockingSocketError("TCP/IP Socket error " + std::to_string(lastErrorCode_) + ": " +
                                       lastErrorText_,
                                   lastErrorCode_, lastErrorText_);
}

bool TBlockingSocket::CheckStop() {
    Heartbeat();
    if (!StopFlag) return false;
    StopFlag = false;
    lastErrorCode_ = platform::kWsaECONNABORTED;
    ReportError();
    return true;
}

void TBlockingSocket::Throttle(int limit, uint32_t& nextTick, int length) {
    if (limit <= 0 || StopFlag) return;
    uint32_t now = platform::TickCount();
    if (static_cast<int32_t>(nextTick - now) > 0) {
        uint32_t wait = nextTick - now;
        Status(TSocketStatusReason::StatusWaiting, [&] { return std::to_string(wait); });
        platform::SleepMs(wait % 250);
        for (uint32_t i = 0; i < wait / 250 && !StopFlag; ++i) platform::SleepMs(250);
    }
    nextTick =
        platform::TickCount() + static_cast<uint32_t>(static_cast<double>(length) / limit * 1000.0);
}

int TBlockingSocket::PrepareAddress(const std::string& host, const std::string& port,
                                    SocketAddress& address) {
    Status(TSocketStatusReason::StatusResolveStart, [&] { return host + ":" + port; });
    lastErrorCode_ = 0;
    int family;
    if (fd_ == -1 && family_ == TSocketFamily::sfAny) {
        family = IsIPv4Literal(host) ? AF_INET : IsIPv6Literal(host) ? AF_INET6 : AF_UNSPEC;
    } else {
        family = AddressFamilyOf(family_);
    }
    lastErrorCode_ =
        BuildSocketAddress(host, port, family, IPPROTO_TCP, SOCK_STREAM, PreferIP4, address);
    Status(TSocketStatusReason::StatusResolveDone,
           [&] { return AddressText(address) + ":" + std::to_string(AddressPort(address)); });
    return lastErrorCode_;
}

void TBlockingSocket::CreateHandle(const SocketAddress& address) {
    StopFlag = false;
    sendCounter_ = 0;
    lastErrorCode_ = 0;
    ReadAhead.clear();
    ipv6_ = address.Family() == AF_INET6;
    fd_ = ::socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd_ == -1) lastErrorCode_ = LastPlatformError();
    if (fd_ != -1) {
        // Bounds the one blocking call left that sends, the connect (sends themselves never
        // block: see SendBytes).
        timeval limit{NonblockSendTimeout / 1000, (NonblockSendTimeout % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        // The message text goes out in several sends with no reply in between; with send
        // coalescing each later send waits for the peer's delayed acknowledgement (~40 ms).
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ReportError();
    Status(TSocketStatusReason::StatusHandleCreated,
           [&] { return std::string(ipv6_ ? "IPv6" : "IPv4"); });
    if (OnCreateSocket) OnCreateSocket(this);
}

void TBlockingSocket::BindLocal(const std::string& address, const std::string& port) {
    lastErrorCode_ = 0;
    if (fd_ == -1 && family_ == TSocketFamily::sfAny && address == "0.0.0.0" && port == "0") return;
    SocketAddress sin;
    if (PrepareAddress(address, port, sin) == 0) {
        if (fd_ == -1) CreateHandle(sin);
        if (fd_ != -1 && CheckCall(BindAddress(fd_, sin)) == 0) {
            LocalAddressOf(fd_, localSin_);
            ReadAhead.clear();
        }
    }
    ReportError();
    Status(TSocketStatusReason::StatusBound, [&] { return address + ":" + port; });
}

void TBlockingSocket::ConnectTo(const std::string& host, const std::string& port) {
    connectHost_ = host;
    SocketAddress sin;
    if (PrepareAddress(host, port, sin) == 0) {
        if (fd_ == -1) CreateHandle(sin);
        if (fd_ != -1 && CheckCall(ConnectAddress(fd_, sin)) == 0) {
            LocalAddressOf(fd_, localSin_);
            PeerAddressOf(fd_, remoteSin_);
        }
        ReadAhead.clear();
        PendingCR = PendingLF = false;
    }
    ReportError();
    Status(TSocketStatusReason::StatusConnected, [&] { return host + ":" + port; });
}

void TBlockingSocket::AbortConnection() {
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
    family_ = savedFamily_;
    Status(TSocketStatusReason::StatusHandleClosed, [] { return std::string(); });
}

void TBlockingSocket::ResetConnection() {
    if (fd_ != -1) {
        linger reset{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
    AbortConnection();
}

void TBlockingSocket::DiscardInput() {
    platform::SleepMs(1);
    try {
        while (!ReadAhead.empty() || PendingBytes() >= 1) {
            ReceiveAvailable(0);
            if (lastErrorCode_ != 0) break;
        }
    } catch (...) {
        // only reachable with RaiseExcept; a close goes on regardless
    }
    lastErrorCode_ = 0;
}

void TBlockingSocket::CloseConnection() {
    if (fd_ != -1 && lastErrorCode_ == 0) {
        ::shutdown(fd_, SHUT_WR);
        DiscardInput();
    }
    AbortConnection();
}

int TBlockingSocket::SendInPieces(const void* buffer, int length,
                                  const std::function<long(const char*, int)>& writePiece) {
    if (OnMonitor) OnMonitor(this, true, buffer, length);
    const char* data = static_cast<const char*>(buffer);
    int total = 0;
    while (total < length) {
        int piece = std::min(SendMaxChunk, length - total);
        if (piece <= 0) break;
        Throttle(MaxSendBandwidth, nextSendTick_, piece);
        long sent = writePiece(data + total, piece);
        if (lastErrorCode_ != 0) break;
        if (sent <= 0) break; // nothing moved: never loop on it
        total += static_cast<int>(sent);
        sendCounter_ += static_cast<uint32_t>(sent);
        Status(TSocketStatusReason::StatusBytesWritten, [&] { return std::to_string(sent); });
    }
    ReportError();
    return total;
}

int TBlockingSocket::SendBytes(const void* buffer, int length) {
    if (CheckStop()) return 0;
    // Each send takes what fits at once and never blocks: the wait for writability is the
    // only wait, so a peer that stops reading is given up NonblockSendTimeout after the last
    // byte it took (a blocking send could first sit out a time-out of its own, take a few
    // bytes, and start over).
    return SendInPieces(buffer, length, [this](const char* piece, int size) {
        long sent = ::send(fd_, piece, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        CheckCall(sent < 0 ? -1 : 0);
        if (lastErrorCode_ == platform::kWsaEWOULDBLOCK) {
            if (!WaitWritable(NonblockSendTimeout)) {
                lastErrorCode_ = platform::kWsaETIMEDOUT;
                return sent;
            }
            sent = ::send(fd_, piece, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
            CheckCall(sent < 0 ? -1 : 0);
        }
        return sent;
    });
}

void TBlockingSocket::SendText(const std::string& data) {
    SendBytes(data.data(), static_cast<int>(data.size()));
}

void TBlockingSocket::AfterReceive(void* buffer, int& count) {
    Status(TSocketStatusReason::StatusBytesRead, [&] { return std::to_string(count); });
    if (OnMonitor) OnMonitor(this, false, buffer, count);
    if (OnReadFilter) {
        std::string value(static_cast<char*>(buffer), static_cast<size_t>(count));
        OnReadFilter(this, value);
        if (static_cast<int>(value.size()) < count) count = static_cast<int>(value.size());
        std::copy(value.begin(), value.begin() + count, static_cast<char*>(buffer));
    }
}

int TBlockingSocket::ReceiveBytes(void* buffer, int capacity) {
    if (CheckStop()) return 0;
    Throttle(MaxRecvBandwidth, nextRecvTick_, capacity);
    long n = ::recv(fd_, buffer, static_cast<size_t>(std::max(capacity, 0)), 0);
    if (n == 0)
        lastErrorCode_ = platform::kWsaECONNRESET;
    else
        CheckCall(n < 0 ? -1 : 0);
    ReportError();
    int count = n > 0 ? static_cast<int>(n) : 0;
    if (count > 0) AfterReceive(buffer, count);
    return count;
}

int TBlockingSocket::PendingBytes() {
    int count = 0;
    if (fd_ == -1 || ::ioctl(fd_, FIONREAD, &count) != 0) return 0;
    return std::min(count, 65536);
}

bool TBlockingSocket::PollReadable(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, PollTimeout(timeoutMs));
    CheckCall(rc < 0 ? -1 : 0);
    return lastErrorCode_ == 0 && rc > 0;
}

bool TBlockingSocket::WaitReadable(int timeoutMs) {
    int periods = 0;
    int first = timeoutMs;
    if (HeartbeatRate != 0 && timeoutMs != -1) {
        periods = timeoutMs / HeartbeatRate;
        first = timeoutMs % HeartbeatRate;
    }
    bool readable = PollReadable(first);
    for (int i = 0; !readable && lastErrorCode_ == 0 && i < periods + 1; ++i) {
        Heartbeat();
        if (StopFlag) {
            StopFlag = false;
            break;
        }
        readable = PollReadable(HeartbeatRate);
    }
    ReportError();
    if (readable) Status(TSocketStatusReason::StatusReadable, [] { return std::string(); });
    return readable;
}

bool TBlockingSocket::WaitWritable(int timeoutMs) {
    pollfd p{fd_, POLLOUT, 0};
    int rc = ::poll(&p, 1, PollTimeout(timeoutMs));
    CheckCall(rc < 0 ? -1 : 0);
    bool writable = lastErrorCode_ == 0 && rc > 0;
    ReportError();
    if (writable) Status(TSocketStatusReason::StatusWritable, [] { return std::string(); });
    return writable;
}

std::string TBlockingSocket::ReceiveAvailable(int timeoutMs) {
    lastErrorCode_ = 0;
    std::string result;
    if (!ReadAhead.empty()) {
        result.swap(ReadAhead);
    } else {
        sched_yield();
        uint32_t start = platform::TickCount();
        int pending = PendingBytes();
        if (pending == 0) {
            if (WaitReadable(timeoutMs)) {
                pending = PendingBytes();
                if (pending == 0)
                    lastErrorCode_ = platform::kWsaECONNRESET; // readable and empty: closed
            } else if (lastErrorCode_ == 0) {
                lastErrorCode_ = platform::kWsaETIMEDOUT;
            }
        }
        if (pending > 0) {
            result.resize(static_cast<size_t>(pending));
            receiveWaitMs_ = RemainingMs(timeoutMs, start);
            int n = ReceiveBytes(result.data(), pending);
            receiveWaitMs_ = -1;
            result.resize(static_cast<size_t>(n));
        }
    }
    if (ConvertLineEnd && !result.empty()) {
        if (PendingCR && result.front() == '\n')
            result.erase(0, 1);
        else if (PendingLF && result.front() == '\r')
            result.erase(0, 1);
        PendingCR = PendingLF = false;
    }
    ReportError();
    return result;
}

std::string TBlockingSocket::ReceiveUntil(int timeoutMs, const std::string& terminator) {
    lastErrorCode_ = 0;
    std::string result;
    if (terminator.empty()) return result;
    bool lineEndMode = ConvertLineEnd && terminator == "\r\n";
    std::string accumulator;
    size_t foundAt = std::string::npos;
    size_t terminatorLength = terminator.size();
    // Bytes already searched: each read is searched once, so a peer that sends a long line in
    // small pieces costs time linear in its bytes, not a rescan of all of them per piece.
    size_t searched = 0;
    int left = timeoutMs;
    for (;;) {
        uint32_t start = platform::TickCount();
        accumulator += ReceiveAvailable(left);
        if (lastErrorCode_ != 0) break;
        if (lineEndMode) {
            size_t at = accumulator.find_first_of("\r\n", searched);
            if (at != std::string::npos) {
                // The pair, or the single byte, as the line-break rule reads it there.
                platform::LineBreak kind;
                platform::FindLineBreak(accumulator.substr(at, 2), kind);
                foundAt = at;
                terminatorLength =
                    (kind == platform::LineBreak::CRLF || kind == platform::LineBreak::LFCR) ? 2
                                                                                             : 1;
                PendingCR = kind == platform::LineBreak::CR;
                PendingLF = kind == platform::LineBreak::LF;
            }
            searched = accumulator.size();
        } else {
            size_t from = searched >= terminator.size() ? searched - terminator.size() + 1 : 0;
            foundAt = accumulator.find(terminator, from);
            searched = accumulator.size();
        }
        // The limit is on the line: lines received ahead of it in the same read do not count.
        size_t lineLength = foundAt != std::string::npos ? foundAt : accumulator.size();
        if (MaxLineLength != 0 && lineLength > static_cast<size_t>(MaxLineLength)) {
            lastErrorCode_ = platform::kWsaENOBUFS;
            foundAt = std::string::npos;
            break;
        }
        if (foundAt != std::string::npos) break;
        if (!InterPacketTimeout && left != -1) {
            left -= static_cast<int>(platform::TickSpan(start, platform::TickCount()));
            if (left <= 0) {
                lastErrorCode_ = platform::kWsaETIMEDOUT;
                break;
            }
        }
    }
    if (foundAt != std::string::npos) {
        result = accumulator.substr(0, foundAt);
        accumulator.erase(0, foundAt + terminatorLength);
    }
    ReadAhead = accumulator; // a timeout or an error loses no received byte
    ReportError();
    return result;
}

std::string TBlockingSocket::ReceiveLine(int timeoutMs) {
    std::string line = ReceiveUntil(timeoutMs, "\r\n");
    return lastErrorCode_ == 0 ? line : std::string();
}

std::string TBlockingSocket::LocalAddressText() {
    return AddressText(localSin_);
}
std::string TBlockingSocket::RemoteAddressText() {
    return AddressText(remoteSin_);
}
int TBlockingSocket::LocalPortNumber() {
    return AddressPort(localSin_);
}
int TBlockingSocket::RemotePortNumber() {
    return AddressPort(remoteSin_);
}

// ---- TTcpBlockingSocket ---------------------------------------------------------------

TTcpBlockingSocket::TTcpBlockingSocket() : TTcpBlockingSocket(DefaultTlsPluginClass()) {}

TTcpBlockingSocket::TTcpBlockingSocket(const TTlsPluginClass& pluginClass)
    : tls_(pluginClass(this)) {}

TTcpBlockingSocket::~TTcpBlockingSocket() {
    CloseConnection();
    tls_.reset();
}

void TTcpBlockingSocket::ConnectTo(const std::string& host, const std::string& port) {
    // No SOCKS server and no web proxy tunnel are ever configured: the connection is direct.
    TBlockingSocket::ConnectTo(host, port);
    if (lastErrorCode_ == 0 && OnAfterConnect) OnAfterConnect(this);
}

void TTcpBlockingSocket::StartTlsClient() {
    lastErrorCode_ = 0;
    if (!tls_->StartClient()) lastErrorCode_ = TlsFailureCode();
    ReportError();
}

int TTcpBlockingSocket::TlsFailureCode() const {
    return tls_->TimedOut() ? platform::kWsaETIMEDOUT : platform::kWsaSYSNOTREADY;
}

void TTcpBlockingSocket::CloseConnection() {
    if (tls_ && tls_->TlsActive()) tls_->CloseNotify();
    TBlockingSocket::CloseConnection();
}

int TTcpBlockingSocket::SendBytes(const void* buffer, int length) {
    if (!tls_->TlsActive()) return TBlockingSocket::SendBytes(buffer, length);
    if (CheckStop()) return 0;
    lastErrorCode_ = 0;
    return SendInPieces(buffer, length, [this](const char* piece, int size) {
        int sent = tls_->WriteData(piece, size);
        if (tls_->TlsError() != 0)
            lastErrorCode_ = TlsFailureCode();
        else if (sent <= 0)
            // The peer closed its TLS side: repeating the write would never end.
            lastErrorCode_ = platform::kWsaECONNRESET;
        return static_cast<long>(sent);
    });
}

int TTcpBlockingSocket::ReceiveBytes(void* buffer, int capacity) {
    if (!tls_->TlsActive()) return TBlockingSocket::ReceiveBytes(buffer, capacity);
    if (CheckStop()) return 0;
    lastErrorCode_ = 0;
    Throttle(MaxRecvBandwidth, nextRecvTick_, capacity);
    // A read waits no longer than what is left of the caller's time-out.
    int configuredMs = tls_->TimeoutMs;
    if (receiveWaitMs_ >= 0) tls_->TimeoutMs = receiveWaitMs_;
    int n = tls_->ReadData(buffer, capacity);
    tls_->TimeoutMs = configuredMs;
    if (tls_->TlsError() != 0)
        lastErrorCode_ = TlsFailureCode();
    else if (n == 0)
        lastErrorCode_ = platform::kWsaECONNRESET; // the peer's close alert
    ReportError();
    int count = n > 0 ? n : 0;
    if (count > 0) AfterReceive(buffer, count);
    return count;
}

int TTcpBlockingSocket::PendingBytes() {
    if (tls_->TlsActive() && fd_ != -1) {
        int pending = tls_->PendingBytes();
        if (pending > 0) return std::min(pending, 65536);
    }
    return TBlockingSocket::PendingBytes();
}

std::string TTcpBlockingSocket::GetErrorDescEx() {
    if ((lastErrorCode_ == platform::kWsaSYSNOTREADY ||
         lastErrorCode_ == platform::kWsaETIMEDOUT) &&
        tls_ && tls_->TlsError() != 0)
        return tls_->TlsErrorText();
    return TBlockingSocket::GetErrorDescEx();
}

} // namespace blocksock
