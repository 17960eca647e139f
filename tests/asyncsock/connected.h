// A TAsyncSocket that owns the server end of a real loopback connection, and the blocking
// client end for the test to drive; and the text of a socket exception.
#pragma once

#include "asyncsock/esocket_exception.h"
#include "asyncsock/line_socket.h"
#include "tests/support/loopback.h"

#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>

// The text of the ESocketException `action` raises, or "<no exception>".
inline std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const asyncsock::ESocketException& e) {
        return e.what();
    }
    return "<no exception>";
}

struct ConnectedSocket {
    int listener = -1;
    int peer = -1;
    std::unique_ptr<asyncsock::TAsyncSocket> socket = std::make_unique<asyncsock::TAsyncSocket>();

    ConnectedSocket() {
        int port = 0;
        listener = testsupport::ListenLoopback(port);
        peer = testsupport::ConnectLoopback(port);
        int fd = testsupport::AcceptWithin(listener, 1000);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        socket->Dup(fd);
    }
    ~ConnectedSocket() {
        socket.reset();
        testsupport::CloseFd(peer);
        testsupport::CloseFd(listener);
    }
    void ClosePeer(bool reset = false) {
        if (reset) testsupport::SetAbortiveClose(peer);
        testsupport::CloseFd(peer);
        peer = -1;
    }
};
