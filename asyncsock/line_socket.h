// The layers between the base socket and TAsyncSocket: SOCKS (inactive unless a SOCKS
// server is set; this system never sets one), line mode, and the synchronous wait.
#pragma once

#include "asyncsock/async_socket.h"

#include <string>
#include <vector>

namespace asyncsock {

class TCustomSocksAsyncSocket : public TCustomAsyncSocket {
  public:
    using TCustomAsyncSocket::TCustomAsyncSocket;

    // Stored only: no SOCKS negotiation is built, and with SocksServer empty (always, here)
    // every operation goes straight to the base socket.
    std::string SocksServer;
    std::string SocksPort;
    std::string SocksLevel = "5";
    std::string SocksUsercode;
    std::string SocksPassword;
    bool SocksAuthentication = false;
    TSessionConnected OnSocksConnected;
    TSessionAvailable OnSocksError;
    std::function<void(TCustomAsyncSocket* Sender, int AuthState)> OnSocksAuthState;

  protected:
    bool SocksNegotiating() const { return false; }
};

using TLineLimitEvent =
    std::function<void(TCustomAsyncSocket* Sender, int RcvdLength, bool& ClearData)>;

class TCustomLineAsyncSocket : public TCustomSocksAsyncSocket {
  public:
    using TCustomSocksAsyncSocket::TCustomSocksAsyncSocket;

    std::string LineEnd = "\r\n";
    int LineLimit = 65536;
    bool LineEcho = false;
    bool LineEdit = false;
    TLineLimitEvent OnLineLimitExceeded;

    bool LineMode() const { return lineMode_; }
    // Switching with bytes buffered re-delivers them from the queue (message 1044).
    virtual void SetLineMode(bool value);
    long RcvdCount() override;
    int BufferedCount() const { return rcvdCnt_; }

  protected:
    bool NotifyDataAvailable(uint16_t error) override;
    long ReadRaw(void* buffer, int len) override;
    void NotifySessionClosed(uint16_t error) override;
    void HandleMessage(const platform::Message& message) override;
    virtual void NotifyLineLimitExceeded(int rcvdLength, bool& clearData);
    virtual void EditLine(int& newBytes);

  private:
    void DeliverLines(int searchStart);
    void TakeFront(int count);

    std::vector<char> rcvBuf_; // bytes received in line mode, followed by a 0 byte
    int rcvdCnt_ = 0;
    bool lineMode_ = false;
    int lineLength_ = 0;
    bool lineClearData_ = false;
};

class TCustomSyncAsyncSocket : public TCustomLineAsyncSocket {
  public:
    using TCustomLineAsyncSocket::TCustomLineAsyncSocket;
    // Pumps messages until `flag` is set: 0, or 12001 on timeout or when the loop is quitting.
    int WaitUntilReady(const bool& flag, int timeoutMs);
};

class TAsyncSocket : public TCustomSyncAsyncSocket {
  public:
    using TCustomSyncAsyncSocket::TCustomSyncAsyncSocket;
};

} // namespace asyncsock
