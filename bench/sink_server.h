// The server component alone on its own thread, its handlers storing each message (per
// connection): what bench_smtp_server measures, beside its peers.
#pragma once

#include "smtpserver/smtp_server.h"

#include <atomic>
#include <functional>
#include <thread>
#include <unordered_map>

namespace bench {

class SinkServer {
  public:
    // `onMessage`, when set, gets each whole message text, on the sink's thread.
    explicit SinkServer(int port, uint8_t delay = 0,
                        std::function<void(const std::string& text)> onMessage = {}) {
        thread_ = std::thread([this, port, delay, onMessage] {
            smtpserver::TSmtpServer server;
            server.SrvAddr = "127.0.0.1";
            server.SrvPort = std::to_string(port);
            server.DelayAfterCmd = delay;
            std::unordered_map<const void*, std::string> texts;
            server.OnSendData = [&, this](smtpserver::TSmtpServer*, asyncsock::TAsyncSocket* client,
                                          bool last, const std::string& text) {
                bytes_ += text.size();
                if (onMessage) texts[client] += text;
                if (!last) return;
                ++stored_;
                if (!onMessage) return;
                onMessage(texts[client]);
                texts.erase(client);
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

} // namespace bench
