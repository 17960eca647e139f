// Non-blocking TCP socket whose network notifications arrive as messages on the thread that
// created it (its hidden window) and are turned into events. Nothing here waits for the
// network except the host-name resolution of Listen/Connect.
//
// Failures of socket calls are reported through the error routine: with OnError assigned
// only OnError is raised; otherwise ESocketException("Error N in function F\r\n<text>").
// Exceptions thrown while a message is handled never leave the window procedure; they go to
// HandleEventException (OnBgException, then Abort unless CanClose was cleared), except those
// of OnDataAvailable handlers, which the receive step swallows.
#pragma once

#include "asyncsock/esocket_exception.h"
#include "asyncsock/socket_buffer.h"
#include "platform/component.h"
#include "platform/message_loop.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace asyncsock {

enum class TSocketState {
    asInvalidState,
    asOpened,
    asBound,
    asConnecting,
    asConnected,
    asAccepting,
    asListening,
    asClosed
};
enum class TAsyncSocketOption { asoNoReceiveLoop, asoTcpNoDelay };
using TAsyncSocketOptions = std::set<TAsyncSocketOption>;
enum class TSocketSendFlags { asSendNormal, asSendUrgent };
enum class TSocketLingerOnOff { asLingerOff, asLingerOn, asLingerNoSet };

// Private messages of the socket windows.
constexpr uint32_t kMsgNotify = 1025;
constexpr uint32_t kMsgDnsNameDone = 1026;
constexpr uint32_t kMsgDnsAddrDone = 1027;
constexpr uint32_t kMsgCloseDelayed = 1028;
constexpr uint32_t kMsgReleaseDelayed = 1029;
constexpr uint32_t kMsgTestException = 1030;
constexpr uint32_t kMsgLineModeChanged = 1044;
constexpr uint32_t kMsgClientClosed = 1054;

constexpr int kSendChunkSize = 1460;
constexpr int kListenBacklog = SOMAXCONN;

class TCustomAsyncSocket;
using TSessionAvailable = std::function<void(TCustomAsyncSocket* Sender, uint16_t Error)>;
using TSessionConnected = TSessionAvailable;
using TSessionClosed = TSessionAvailable;
using TDataAvailable = TSessionAvailable;
using TDataSent = TSessionAvailable;
using TDnsLookupDone = TSessionAvailable;
using TSendData = std::function<void(TCustomAsyncSocket* Sender, int BytesSent)>;
using TChangeState =
    std::function<void(TCustomAsyncSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TNotifyEvent = std::function<void(TCustomAsyncSocket* Sender)>;
using TBgExceptionEvent =
    std::function<void(TCustomAsyncSocket* Sender, const std::exception& E, bool& CanClose)>;

class TCustomAsyncSocket : public platform::TComponent {
  public:
    explicit TCustomAsyncSocket(platform::TComponent* owner = nullptr);
    ~TCustomAsyncSocket() override;

    // Property texts; writable only while asClosed ("Cannot change X if not closed").
    const std::string& Addr() const { return addr_; }
    void SetAddr(const std::string& value);
    const std::string& Port() const { return port_; }
    virtual void SetPort(const std::string& value);
    const std::string& Proto() const { return proto_; }
    virtual void SetProto(const std::string& value);
    const std::string& LocalAddr() const { return localAddr_; }
    void SetLocalAddr(const std::string& value);
    const std::string& LocalPort() const { return localPort_; }
    void SetLocalPort(const std::string& value);

    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    TSocketState State() const { return state_; }
    int ReadCount() const { return readCount_; }
    // Bytes waiting to be read; -1 (reported as "ioctlSocket") when the query fails.
    virtual long RcvdCount();
    int LastError() const { return lastError_; }
    int Handle() const { return fd_; }
    platform::WindowHandle Window() const { return window_; }
    const std::string& DnsResult() const { return dnsResult_; }
    const std::vector<std::string>& DnsResultList() const { return dnsResultList_; }
    bool AllSent() const { return allSent_; }
    // Send list as chunks (for inspection): (capacity, unread bytes) of each.
    std::vector<std::pair<int, int>> SendChunks() const;

    bool MultiThreaded = false;
    bool ReuseAddr = false;
    // Stored only: kept for the component's published properties; this program sends no
    // multicast, and nothing reads them.
    bool MultiCast = false;
    std::string MultiCastAddrStr;
    int MultiCastIpTTL = 1;
    TAsyncSocketOptions ComponentOptions;
    int FlushTimeout = 60;
    TSocketLingerOnOff LingerOnOff = TSocketLingerOnOff::asLingerOn;
    int LingerTimeout = 0;
    TSocketSendFlags SendFlags() const { return sendFlags_; }
    void SetSendFlags(int value); // "Invalid SendFlags" for anything else

    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TChangeState OnChangeState;
    TNotifyEvent OnLineTooLong;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    virtual void Listen();
    virtual int Accept();
    virtual void Dup(int handle);
    virtual void Close();
    virtual void CloseLater();
    virtual void ReleaseLater();
    virtual void Abort();
    virtual void Flush();
    virtual void Shutdown(int how);
    virtual int Send(const void* data, int len);
    virtual int SendText(const std::string& text);
    virtual int Receive(void* buffer, int len);
    virtual std::string ReceiveText();
    // ReceiveText taking at most `maxBytes`: what stays unread is reported again by the next
    // data-available event, so a reader can bound what one event costs it.
    std::string ReceiveTextUpTo(long maxBytes);
    virtual void PauseEvents();
    virtual void ResumeEvents();
    virtual void PumpMessages();
    // Local end of a bound socket.
    std::string GetXAddr();
    std::string GetXPort();

    // Outgoing connections and host look-ups. The relay only listens and accepts; these stay
    // because the component offers them, and they are tested on their own.
    virtual void Connect();
    // A dotted address answers at once; a name or an address is resolved here and answered
    // through the loop, so OnDnsLookupDone never runs inside the call for those.
    virtual void LookupHost(const std::string& name);
    virtual void ReverseDnsLookup(const std::string& address);
    // Drops the pending answer and reports 10004 (not while the object is being destroyed).
    virtual void CancelLookup();

    // Number of socket objects alive in the process.
    static int ObjectCount();

  protected:
    virtual void HandleMessage(const platform::Message& message);
    virtual void ResetDefaults();
    virtual void CloseInternal(bool shutFirst, int error);
    virtual void BindLocal();
    virtual long SendRaw(const void* data, int len);
    virtual long ReadRaw(void* buffer, int len);
    virtual void RaiseSocketException(const std::string& message);
    // Addresses, ports and the protocol change only on a closed socket: true then; else the
    // exception "Cannot change <property> if not closed" and false, should a handler swallow it.
    bool ChangeableNow(const char* property);
    // Port, protocol and address assigned; else the error for the first one missing.
    bool ReadyToListen();
    virtual void HandleEventException(const std::exception& e);
    // Raises OnDataAvailable; tells whether a handler took the event.
    virtual bool NotifyDataAvailable(uint16_t error);
    virtual void NotifySessionAvailable(uint16_t error);
    virtual void NotifySessionConnected(uint16_t error);
    virtual void NotifySessionClosed(uint16_t error);
    virtual void NotifyDataSent(uint16_t error);
    virtual void NotifyChangeState(TSocketState oldState, TSocketState newState);
    virtual void NotifyDnsLookupDone(uint16_t error);
    virtual void NotifyError();

    // Builds "Error N in function F\r\n<text>", handles the connection-level codes, raises.
    void ReportSocketError(int code, const std::string& function);
    void ChangeState(TSocketState newState);
    void TryToSend();
    void DiscardSendBuffer();
    void ReceiveStep(uint16_t error, bool loop);
    void ApplyLinger();
    void PostToSelf(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    long RawPendingCount();
    long RawRead(void* buffer, int len);

    int fd_ = -1;
    platform::WindowHandle window_ = 0;
    TSocketState state_ = TSocketState::asClosed;
    bool closeNotified_ = false;
    bool paused_ = false;
    // Notifications given while paused, to be had again at the resume.
    bool readOwed_ = false, writeOwed_ = false, closeOwed_ = false;
    bool closeReadDone_ = false; // the peer's close has had its last read
    int lastError_ = 0;
    int readCount_ = 0;

  private:
    void ResolveForListen();
    void OnNotification(uintptr_t wParam, intptr_t lParam);
    // Keeps what a paused socket was notified of for its resume.
    void OweWhilePaused(uint32_t events);
    // A write notification posted to this socket, for a send completed without the loop
    // (its OnDataSent follows on a later pass).
    void PostWriteNotification();

    std::string addr_, port_, proto_ = "tcp", localAddr_ = "0.0.0.0", localPort_ = "0";
    bool addrAssigned_ = false, portAssigned_ = false, protoAssigned_ = true;
    bool addrResolved_ = false, portResolved_ = false, localPortResolved_ = false,
         protoResolved_ = false;
    int protoNumber_ = 6;
    int sockType_ = 0;
    sockaddr_in sin_{};
    // A listening socket on an IPv6 literal address listens there, for IPv6 only.
    sockaddr_in6 sin6_{};
    bool ipv6_ = false;
    uint16_t localPortNumber_ = 0;
    uint32_t selectEvents_ = 0;
    std::deque<TBuffer> sendList_;
    bool allSent_ = true;
    TSocketSendFlags sendFlags_ = TSocketSendFlags::asSendNormal;
    std::string dnsResult_;
    std::vector<std::string> dnsResultList_;
    bool lookupPending_ = false;
    std::vector<std::string> pendingLookupResult_;
};

} // namespace asyncsock
