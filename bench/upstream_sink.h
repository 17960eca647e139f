// The upstream the relay benchmarks relay into: a lean SMTP receiver on one thread of this
// process that answers EHLO as a real upstream does and counts what it stores. It is kept
// small on purpose: it shares the machine's cores with the program under test, so every
// microsecond it spends per message is taken from the figure being measured.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace bench {

class UpstreamSink {
  public:
    // Listens on 127.0.0.1:`port` until destroyed. `onMessage`, when set, gets each whole
    // message text (dot-stuffing removed, the final dot line not included), on the sink's
    // thread. `chunking`: EHLO offers PIPELINING and CHUNKING, and BDAT is taken (RFC 3030).
    explicit UpstreamSink(int port, std::function<void(const std::string& text)> onMessage = {},
                          bool chunking = false);
    ~UpstreamSink();
    UpstreamSink(const UpstreamSink&) = delete;
    UpstreamSink& operator=(const UpstreamSink&) = delete;

    bool Ok() const { return listenFd_ != -1; }
    long Stored() const { return stored_; }
    // The stored messages' bytes as received, line ends included.
    size_t StoredBytes() const { return bytes_; }
    // Connections accepted so far.
    long Sessions() const { return sessions_; }

  private:
    void Run();

    std::function<void(const std::string&)> onMessage_;
    bool chunking_;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
    std::atomic<long> stored_{0};
    std::atomic<size_t> bytes_{0};
    std::atomic<long> sessions_{0};
};

} // namespace bench
