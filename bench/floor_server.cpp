#include "bench/floor_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace bench {

namespace {
void Reply(int fd, const char* text) {
    ::send(fd, text, std::char_traits<char>::length(text), MSG_NOSIGNAL);
}

void SleepMs(int ms) {
    timespec wait{ms / 1000, (ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, &wait) != 0) {
    }
}
} // namespace

FloorServer::FloorServer(int commandDelayMs) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    ::listen(listener_, 5);
    socklen_t len = sizeof(sin);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
    thread_ = std::thread([this, commandDelayMs] {
        // A sleep's default slack (50 us) would lengthen each delay; a timer of the program
        // has none, so the bound is measured without it too.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        Reply(fd, "220 floor\r\n");
        std::string pending;
        bool data = false;
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
            pending.append(buffer, static_cast<size_t>(n));
            for (;;) {
                if (data) {
                    size_t end = pending.find("\r\n.\r\n");
                    if (end == std::string::npos) {
                        if (pending.size() > 4) pending.erase(0, pending.size() - 4);
                        break;
                    }
                    pending.erase(0, end + 5);
                    data = false;
                    Reply(fd, "250 OK\r\n");
                    continue;
                }
                size_t eol = pending.find("\r\n");
                if (eol == std::string::npos) break;
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                if (commandDelayMs > 0) SleepMs(commandDelayMs);
                if (line == "DATA") {
                    data = true;
                    pending.insert(0, "\r\n"); // the DATA line's end starts the terminator search
                    Reply(fd, "354 go\r\n");
                } else {
                    Reply(fd, line == "QUIT" ? "221 bye\r\n" : "250 OK\r\n");
                }
            }
        }
        ::close(fd);
    });
}

FloorServer::~FloorServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
}

} // namespace bench
