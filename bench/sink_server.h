// An inbound server on its own thread whose handlers store each message (per connection):
// the local sink for the benchmarks.
#pragma once

#include "smtpserver/smtp_server.h"

#include <atomic>
#include <thread>
#include <unordered_map>

namespace bench {

class SinkServer {
  public:
    explicit SinkServer(int port, uint8_t delay = 0) {
        thread_ = std::thread([this, port, delay] {
            smtpserver::TSmtpServer server;
            server.SrvAddr = "127.0.0.1";
            server.SrvPort = std::to_string(port);
            server.DelayAfterCmd = delay;
            server.OnSendData = [this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket*,
                                       bool last, const std::string& text) {
                bytes_ += text.size();
                if (last) ++stored_;
            };
            server.SetActive(true);
            platform::MessageLoop& loop = platform::MessageLoop::Current();
            window_ = loop.CreateHiddenWindow([&](const platform::Message&) { loop.Quit(); });
            ready_ = true;
            loop.Run();
            loop.DestroyWindow(window_);
        });
        while (!ready_) std::this_thread::yield();
    }
    ~SinkServer() {
        platform::MessageLoop::PostMessage(window_, platform::kWmUser, 0, 0);
        thread_.join();
    }
    long Stored() const { return stored_; }
    size_t StoredBytes() const { return bytes_; }

  private:
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<long> stored_{0};
    std::atomic<size_t> bytes_{0};
    platform::WindowHandle window_ = 0;
};

int FreeLoopbackPort();

} // namespace bench
