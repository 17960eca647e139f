// Blocking TCP socket with timeouts and a read-ahead line reader. Every call runs to the
// end on the calling thread and leaves LastErrorCode / LastErrorText (0 / "" on success);
// nothing throws unless RaiseExcept is set. Once a TLS handshake has succeeded, all traffic
// goes through the socket's TLS plug-in.
#pragma once

#include "blocksock/blocking_socket_error.h"
#include "blocksock/ipaddr.h"
#include "blocksock/sockapi.h"
#include "blocksock/tls_plugin.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace blocksock {

enum class TSocketFamily { sfAny, sfIPv4, sfIPv6 };

enum class TSocketStatusReason {
    StatusResolveStart,
    StatusResolveDone,
    StatusHandleCreated,
    StatusHandleClosed,
    StatusBound,
    StatusConnected,
    StatusReadable,
    StatusWritable,
    StatusListening,
    StatusAccepted,
    StatusBytesRead,
    StatusBytesWritten,
    StatusWaiting,
    StatusError
};

class TBlockingSocket;
using TSocketStatusHook = std::function<void(TBlockingSocket* Sender, TSocketStatusReason Reason,
                                             const std::string& Value)>;
using TDataFilterHook = std::function<void(TBlockingSocket* Sender, std::string& Value)>;
using TMonitorHook =
    std::function<void(TBlockingSocket* Sender, bool Writing, const void* Buffer, int Len)>;
using TCreateSocketHook = std::function<void(TBlockingSocket* Sender)>;
using THeartbeatHook = std::function<void(TBlockingSocket* Sender)>;
using TAfterConnectHook = std::function<void(TBlockingSocket* Sender)>;

class TBlockingSocket {
  public:
    TBlockingSocket();
    virtual ~TBlockingSocket();
    TBlockingSocket(const TBlockingSocket&) = delete;
    TBlockingSocket& operator=(const TBlockingSocket&) = delete;

    TSocketStatusHook OnStatus;
    TDataFilterHook OnReadFilter;
    TCreateSocketHook OnCreateSocket;
    TMonitorHook OnMonitor;
    THeartbeatHook OnHeartbeat;

    int Tag = 0;
    std::string ReadAhead;
    bool RaiseExcept = false;
    int MaxLineLength = 0;
    int MaxSendBandwidth = 0;
    int MaxRecvBandwidth = 0;
    void SetMaxBandwidth(int value) { MaxSendBandwidth = MaxRecvBandwidth = value; }
    bool ConvertLineEnd = false;
    bool PendingCR = false;
    bool PendingLF = false;
    bool PreferIP4 = true;
    bool InterPacketTimeout = true;
    int SendMaxChunk = 65536;
    bool StopFlag = false;
    int NonblockSendTimeout = 15000;
    int HeartbeatRate = 0;

    TSocketFamily Family() const { return family_; }
    void SetFamily(TSocketFamily family) { family_ = savedFamily_ = family; }
    int Handle() const { return fd_; }
    // The host text of the last ConnectTo (the TLS plug-in sends it as the server name).
    const std::string& ConnectHost() const { return connectHost_; }
    int LastErrorCode() const { return lastErrorCode_; }
    const std::string& LastErrorText() const { return lastErrorText_; }
    uint32_t SendCounter() const { return sendCounter_; }
    const SocketAddress& LocalSin() const { return localSin_; }

    // With "0.0.0.0" and "0" on a fresh socket of any family: nothing, no handle.
    void BindLocal(const std::string& address, const std::string& port);
    virtual void ConnectTo(const std::string& host, const std::string& port);
    virtual void CloseConnection();
    void AbortConnection();
    // Closes at once with a reset: for a connection given up on, whose unsent bytes (a peer
    // that stopped reading) would otherwise keep it alive in the kernel, and the peer unaware.
    void ResetConnection();
    virtual int SendBytes(const void* buffer, int length);
    void SendText(const std::string& data);
    virtual int ReceiveBytes(void* buffer, int capacity);
    // The line without its CR LF; empty (and the partial line kept in ReadAhead) on error.
    std::string ReceiveLine(int timeoutMs);
    std::string ReceiveUntil(int timeoutMs, const std::string& terminator);
    std::string ReceiveAvailable(int timeoutMs);
    // Bytes readable now, 0..65536.
    virtual int PendingBytes();
    bool WaitReadable(int timeoutMs);
    bool WaitWritable(int timeoutMs);
    // Sets the error from the platform when `result` is -1; returns LastErrorCode.
    int CheckCall(int result);
    virtual std::string GetErrorDescEx();
    virtual std::string LocalAddressText();
    virtual std::string RemoteAddressText();
    virtual int LocalPortNumber();
    virtual int RemotePortNumber();

  protected:
    virtual int SocketType() { return 0; }
    virtual int SocketProtocol() { return 0; }
    // Resolves host and port into `address` with the family rules; 0 or an error code.
    int PrepareAddress(const std::string& host, const std::string& port, SocketAddress& address);
    void CreateHandle(const SocketAddress& address);
    void ReportError();
    bool CheckStop();
    void Throttle(int limit, uint32_t& nextTick, int length);
    // The chunking, throttling, counting and monitoring every send shares. `writePiece` moves
    // one piece; it leaves lastErrorCode_ set when it fails, and moving nothing ends the send.
    int SendInPieces(const void* buffer, int length,
                     const std::function<long(const char*, int)>& writePiece);
    bool PollReadable(int timeoutMs);
    void DiscardInput();
    void SetError(int code) { lastErrorCode_ = code; }
    // Status notification; the value is built only when a hook is assigned.
    template <typename MakeValue> void Status(TSocketStatusReason reason, MakeValue&& makeValue) {
        if (OnStatus) OnStatus(this, reason, makeValue());
    }
    void Heartbeat() {
        if (OnHeartbeat && HeartbeatRate != 0) OnHeartbeat(this);
    }
    void AfterReceive(void* buffer, int& count);

    int fd_ = -1;
    int lastErrorCode_ = 0;
    std::string lastErrorText_;
    SocketAddress localSin_;
    SocketAddress remoteSin_;
    uint32_t sendCounter_ = 0;
    uint32_t nextSendTick_ = 0;
    uint32_t nextRecvTick_ = 0;
    bool ipv6_ = false;
    TSocketFamily family_ = TSocketFamily::sfAny;
    TSocketFamily savedFamily_ = TSocketFamily::sfAny;
    std::string connectHost_;
    // While ReceiveAvailable reads: what is left of its time-out (-1 otherwise).
    int receiveWaitMs_ = -1;
};

class TSocksBlockingSocket : public TBlockingSocket {
  public:
    // Stored only: kept for the class family; with SocksHost empty (always, here) connections
    // are direct and nothing reads these.
    std::string SocksHost;
    std::string SocksPort = "1080";
    std::string SocksUsername;
    std::string SocksPassword;
    int SocksTimeout = 60000;
};

class TTcpBlockingSocket : public TSocksBlockingSocket {
  public:
    TTcpBlockingSocket();
    explicit TTcpBlockingSocket(const TTlsPluginClass& pluginClass);
    ~TTcpBlockingSocket() override;

    // Stored only: kept for the class family; no web proxy tunnel is ever configured here,
    // so ConnectTo always connects directly and nothing reads these.
    std::string HttpTunnelHost;
    std::string HttpTunnelPort;
    std::string HttpTunnelUser;
    std::string HttpTunnelPass;
    int HttpTunnelTimeout = 30000;
    TAfterConnectHook OnAfterConnect;

    TCustomTls& TlsLayer() { return *tls_; }

    void ConnectTo(const std::string& host, const std::string& port) override;
    // Client handshake on the connected handle; 10091 with the plug-in's text on failure,
    // 10060 when the plug-in's TimeoutMs ran out.
    void StartTlsClient();
    void CloseConnection() override;
    int SendBytes(const void* buffer, int length) override;
    int ReceiveBytes(void* buffer, int capacity) override;
    int PendingBytes() override;
    std::string GetErrorDescEx() override;

  protected:
    int SocketType() override { return SOCK_STREAM; }
    int SocketProtocol() override { return IPPROTO_TCP; }

  private:
    int TlsFailureCode() const;

    std::unique_ptr<TCustomTls> tls_;
};

} // namespace blocksock
