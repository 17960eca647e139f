// An inbound server on its own thread that accepts and counts messages: the local sink for
// the client benchmarks.
#pragma once

#include "smtpserver/smtp_server.h"

#include <atomic>
#include <thread>

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
                                       bool last, const std::string&) {
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

  private:
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<long> stored_{0};
    platform::WindowHandle window_ = 0;
};

int FreeLoopbackPort();

} // namespace bench
