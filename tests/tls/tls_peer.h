// A TLS server on its own thread made of our own pieces: an accepted connection adopted by
// a blocking socket, and TTlsOpenSSL's server side with a certificate made by
// MakeSelfSignedCertificate.
#pragma once

#include "tests/support/loopback.h"
#include "tls/tls_openssl.h"

#include <functional>
#include <future>
#include <thread>

struct AdoptedSocket : blocksock::TTcpBlockingSocket {
    void Adopt(int fd) {
        fd_ = fd;
        blocksock::PeerAddressOf(fd, remoteSin_);
    }
};

class TlsPeer {
  public:
    // `serve` runs on the server thread after a successful handshake.
    explicit TlsPeer(std::function<void(AdoptedSocket&)> serve,
                     std::string commonName = "relayhost") {
        listener_ = testsupport::ListenLoopback(port_);
        thread_ = std::thread([this, serve, commonName] {
            // The key is made before the client connects, so that its cost (RSA key
            // generation varies a lot) never counts against the client's time-outs.
            AdoptedSocket socket;
            if (!commonName.empty()) socket.TlsLayer().MakeSelfSignedCertificate(commonName);
            ready_.set_value();
            int fd = testsupport::AcceptWithin(listener_, 10000);
            if (fd < 0) return;
            socket.Adopt(fd);
            handshakeOk_ = socket.TlsLayer().StartServer();
            if (handshakeOk_) serve(socket);
        });
    }
    ~TlsPeer() {
        if (thread_.joinable()) thread_.join();
        testsupport::CloseFd(listener_);
    }
    int Port() const { return port_; }
    // Blocks until the certificate is made and the peer is about to accept.
    void WaitUntilReady() { readyFuture_.wait(); }
    void Join() { thread_.join(); }
    bool HandshakeOk() const { return handshakeOk_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    bool handshakeOk_ = false;
    std::promise<void> ready_;
    std::future<void> readyFuture_ = ready_.get_future();
    std::thread thread_;
};

// Installs the OpenSSL plug-in for the whole test program, as the program does at start.
inline const bool kTlsInstalled = tls::InitTlsModule();
