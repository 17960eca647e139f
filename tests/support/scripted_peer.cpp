#include "tests/support/scripted_peer.h"

#include "tests/support/loopback.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

ScriptedPeer::ScriptedPeer(std::vector<PeerStep> script) : script_(std::move(script)) {
    listener_ = ListenLoopback(port_);
    thread_ = std::thread([this] {
        int fd = AcceptWithin(listener_, 10000);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        for (const PeerStep& step : script_) {
            switch (step.kind) {
            case PeerStep::Send:
                SendAll(fd, step.bytes);
                break;
            case PeerStep::Pause:
                usleep(static_cast<useconds_t>(step.ms) * 1000);
                break;
            case PeerStep::ReadLine:
                lines_.push_back(ReadLine(fd, 10000));
                break;
            case PeerStep::ReadPacket: {
                pollfd p{fd, POLLIN, 0};
                char buffer[65536];
                ssize_t n = ::poll(&p, 1, 10000) > 0 ? ::recv(fd, buffer, sizeof(buffer), 0) : 0;
                lines_.push_back(n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "");
                break;
            }
            case PeerStep::Close:
                ::close(fd);
                fd = -1;
                break;
            case PeerStep::Reset:
                SetAbortiveClose(fd);
                ::close(fd);
                fd = -1;
                break;
            case PeerStep::Hold:
                WaitForClose(fd, step.ms);
                break;
            }
            if (fd < 0) break;
        }
        if (fd >= 0) ::close(fd);
    });
}

void ScriptedPeer::Join() {
    if (thread_.joinable()) thread_.join();
}

ScriptedPeer::~ScriptedPeer() {
    Join();
    CloseFd(listener_);
}

} // namespace testsupport
