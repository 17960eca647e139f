// A TLS server on its own thread made of our own pieces: an accepted connection adopted by
// a blocking socket, and TTlsOpenSSL's server side with a certificate made by
// MakeSelfSignedCertificate.
#pragma once

#include "tests/support/loopback.h"
#include "tls/tls_openssl.h"

#include <functional>
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
            int fd = testsupport::AcceptWithin(listener_, 10000);
            if (fd < 0) return;
            AdoptedSocket socket;
            socket.Adopt(fd);
            if (!commonName.empty()) socket.TlsLayer().MakeSelfSignedCertificate(commonName);
            handshakeOk_ = socket.TlsLayer().StartServer();
            if (handshakeOk_) serve(socket);
        });
    }
    ~TlsPeer() {
        if (thread_.joinable()) thread_.join();
        testsupport::CloseFd(listener_);
    }
    int Port() const { return port_; }
    void Join() { thread_.join(); }
    bool HandshakeOk() const { return handshakeOk_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    bool handshakeOk_ = false;
    std::thread thread_;
};

// Installs the OpenSSL plug-in for the whole test program, as the program does at start.
inline const bool kTlsInstalled = tls::InitTlsModule();
