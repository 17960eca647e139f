#include "bench/upstream_sink.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

namespace bench {

namespace {

constexpr std::string_view kEndOfData = "\r\n.\r\n";

struct Session {
    int fd = -1;
    std::string commands; // received command bytes not yet answered
    bool inData = false;
    size_t chunkLeft = 0; // of the BDAT chunk being received
    bool inChunk = false, lastChunk = false;
    std::string tail;     // the last bytes of the text so far, to find an end split over reads
    size_t dataBytes = 0; // of the current message, as received
    std::string text;     // kept only for a message handler
    bool quit = false;
};

void WatchInput(int epollFd, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
}

std::string Unstuffed(std::string text) {
    std::string out;
    out.reserve(text.size());
    bool lineStart = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (lineStart && text[i] == '.') ++i;
        if (i >= text.size()) break;
        out += text[i];
        lineStart = text[i] == '\n';
    }
    return out;
}

class SinkLoop {
  public:
    SinkLoop(std::atomic<long>& stored, std::atomic<size_t>& bytes,
             const std::function<void(const std::string&)>& onMessage, bool chunking)
        : stored_(stored), bytes_(bytes), onMessage_(onMessage), chunking_(chunking) {}

    // Answers what `s` has received; false when the session cannot go on.
    bool Receive(Session& s, std::string_view chunk) {
        if (s.quit) return true; // nothing is read after QUIT
        std::string replies;
        while (!chunk.empty() && !s.quit) {
            if (s.inChunk)
                chunk = TakeChunk(s, chunk, replies);
            else if (s.inData)
                chunk = TakeData(s, chunk, replies);
            else
                chunk = TakeCommands(s, chunk, replies);
        }
        if (!replies.empty() && ::send(s.fd, replies.data(), replies.size(), MSG_NOSIGNAL) < 0)
            return false;
        // After QUIT the client closes first, as the relay's own server has it: a sink that
        // closed first would hold thousands of its ends in TIME_WAIT after a load, and later
        // connections from reused client ports could be reset.
        if (s.quit) ::shutdown(s.fd, SHUT_WR);
        return true;
    }

  private:
    // Takes text up to its end, if the end is in `chunk`; returns what follows it.
    std::string_view TakeData(Session& s, std::string_view chunk, std::string& replies) {
        std::string window = s.tail;
        window.append(chunk);
        size_t found = window.find(kEndOfData);
        if (found == std::string::npos) {
            size_t used = window.size() - s.tail.size();
            s.dataBytes += used;
            if (onMessage_) s.text.append(chunk.substr(0, used));
            s.tail = window.substr(window.size() >= 4 ? window.size() - 4 : 0);
            return chunk.substr(used);
        }
        size_t used = found + kEndOfData.size() - s.tail.size();
        s.dataBytes += used;
        size_t messageBytes = s.dataBytes - 3; // without the final ".\r\n"
        if (onMessage_) {
            s.text.append(chunk.substr(0, used));
            s.text.resize(messageBytes);
            onMessage_(Unstuffed(std::move(s.text)));
        }
        bytes_ += messageBytes;
        ++stored_;
        s.inData = false;
        s.text.clear();
        replies += "250 2.0.0 stored\r\n";
        return chunk.substr(used);
    }

    // Takes the bytes of a BDAT chunk; at the end of the last one, the message is stored.
    std::string_view TakeChunk(Session& s, std::string_view chunk, std::string& replies) {
        size_t used = std::min(chunk.size(), s.chunkLeft);
        if (onMessage_) s.text.append(chunk.substr(0, used));
        s.dataBytes += used;
        s.chunkLeft -= used;
        if (s.chunkLeft > 0) return {};
        s.inChunk = false;
        if (!s.lastChunk) {
            replies += "250 2.0.0 chunk taken\r\n";
            return chunk.substr(used);
        }
        if (onMessage_) onMessage_(std::move(s.text));
        bytes_ += s.dataBytes;
        ++stored_;
        s.text.clear();
        s.dataBytes = 0;
        replies += "250 2.0.0 stored\r\n";
        return chunk.substr(used);
    }

    // BDAT <size> [LAST]: the chunk's bytes follow at once.
    void BeginChunk(Session& s, const std::string& line, std::string& replies) {
        char* end = nullptr;
        unsigned long long size = std::strtoull(line.c_str() + 4, &end, 10);
        if (!chunking_ || end == line.c_str() + 4) {
            replies += "501 bad BDAT\r\n";
            return;
        }
        s.chunkLeft = size;
        s.lastChunk = std::string_view(end).find("LAST") != std::string_view::npos;
        s.inChunk = true;
        if (size == 0) TakeChunk(s, {}, replies);
    }

    // Answers the whole command lines in `chunk`; returns the text that follows DATA's reply.
    std::string_view TakeCommands(Session& s, std::string_view chunk, std::string& replies) {
        size_t eol = chunk.find('\n');
        if (eol == std::string_view::npos) {
            s.commands.append(chunk);
            return {};
        }
        s.commands.append(chunk.substr(0, eol + 1));
        chunk.remove_prefix(eol + 1);
        std::string line = std::move(s.commands);
        std::string verb = line.substr(0, 4);
        for (char& c : verb) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        s.commands.clear();
        if (verb == "EHLO")
            replies += chunking_ ? "250-sink\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 8BITMIME\r\n"
                                 : "250-sink\r\n250 8BITMIME\r\n";
        else if (verb == "BDAT")
            BeginChunk(s, line, replies);
        else if (verb == "HELO" || verb == "MAIL" || verb == "RCPT" || verb == "RSET" ||
                 verb == "NOOP")
            replies += "250 OK\r\n";
        else if (verb == "DATA") {
            replies += "354 end with <CRLF>.<CRLF>\r\n";
            s.inData = true;
            s.tail = "\r\n"; // the DATA line's end: a text of "." alone is an empty message
            s.dataBytes = 0;
        } else if (verb == "QUIT") {
            replies += "221 bye\r\n";
            s.quit = true;
        } else
            replies += "500 unknown command\r\n";
        return chunk;
    }

    std::atomic<long>& stored_;
    std::atomic<size_t>& bytes_;
    const std::function<void(const std::string&)>& onMessage_;
    bool chunking_;
};

} // namespace

UpstreamSink::UpstreamSink(int port, std::function<void(const std::string&)> onMessage,
                           bool chunking)
    : onMessage_(std::move(onMessage)), chunking_(chunking) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 ||
        ::listen(fd, 1024) != 0) {
        ::close(fd);
        return;
    }
    listenFd_ = fd;
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    for (int watched : {listenFd_, stopFd_}) WatchInput(epollFd_, watched);
    thread_ = std::thread([this] { Run(); });
}

UpstreamSink::~UpstreamSink() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        (void)!::write(stopFd_, &one, sizeof(one));
        thread_.join();
    }
    for (int fd : {listenFd_, epollFd_, stopFd_})
        if (fd != -1) ::close(fd);
}

void UpstreamSink::Run() {
    SinkLoop loop(stored_, bytes_, onMessage_, chunking_);
    std::unordered_map<int, Session> sessions;
    auto end = [&](int fd) {
        // Removed before the close: a child being spawned by another thread may hold the
        // descriptor a moment longer, and its events would then come in the name of the next
        // connection given the same number.
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        sessions.erase(fd);
    };
    std::string buffer(64 * 1024, '\0');
    epoll_event events[64];
    for (;;) {
        int n = ::epoll_wait(epollFd_, events, 64, -1);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == stopFd_) {
                for (auto& [open, session] : sessions) ::close(open);
                return;
            }
            if (fd == listenFd_) {
                for (int c; (c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) != -1;) {
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                    static constexpr char kGreeting[] = "220 sink ESMTP\r\n";
                    ::send(c, kGreeting, sizeof(kGreeting) - 1, MSG_NOSIGNAL);
                    WatchInput(epollFd_, c);
                    sessions[c].fd = c;
                    ++sessions_;
                }
                continue;
            }
            ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got <= 0 || !loop.Receive(sessions[fd], std::string_view(buffer.data(),
                                                                         static_cast<size_t>(got))))
                end(fd);
        }
    }
}

} // namespace bench
