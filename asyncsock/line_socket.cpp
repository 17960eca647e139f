#include "asyncsock/line_socket.h"

#include "platform/tick.h"

#include <algorithm>
#include <cstring>

namespace asyncsock {

void TCustomLineAsyncSocket::SetLineMode(bool value) {
    if (value == lineMode_) return;
    lineMode_ = value;
    if (rcvdCnt_ > 0 || lineLength_ > 0) PostToSelf(kMsgLineModeChanged, 0, 0);
}

long TCustomLineAsyncSocket::RcvdCount() {
    if (lineMode_ && lineLength_ > 0) return lineLength_;
    if (!lineMode_ && rcvdCnt_ > 0) return rcvdCnt_;
    return TCustomSocksAsyncSocket::RcvdCount();
}

void TCustomLineAsyncSocket::TakeFront(int count) {
    std::memmove(rcvBuf_.data(), rcvBuf_.data() + count, static_cast<size_t>(rcvdCnt_ - count));
    rcvdCnt_ -= count;
    rcvBuf_[static_cast<size_t>(rcvdCnt_)] = 0;
}

long TCustomLineAsyncSocket::ReadRaw(void* buffer, int len) {
    if (lineLength_ > 0) {
        int n = std::min(len, lineLength_);
        std::memcpy(buffer, rcvBuf_.data(), static_cast<size_t>(n));
        TakeFront(n);
        lineLength_ -= n;
        return n;
    }
    if (!lineMode_ && rcvdCnt_ > 0) {
        int n = std::min(len, rcvdCnt_);
        std::memcpy(buffer, rcvBuf_.data(), static_cast<size_t>(n));
        TakeFront(n);
        return n;
    }
    return TCustomSocksAsyncSocket::ReadRaw(buffer, len);
}

bool TCustomLineAsyncSocket::NotifyDataAvailable(uint16_t error) {
    if (!lineMode_ || LineEnd.empty() || SocksNegotiating())
        return TCustomSocksAsyncSocket::NotifyDataAvailable(error);
    long pending = TCustomSocksAsyncSocket::RcvdCount();
    if (pending < 0) return true;
    if (pending == 0) pending = 255;
    size_t need = static_cast<size_t>(rcvdCnt_) + static_cast<size_t>(pending) + 1;
    if (rcvBuf_.size() < need) rcvBuf_.resize(need);
    long n = RawRead(rcvBuf_.data() + rcvdCnt_, static_cast<int>(pending));
    if (n <= 0) return true;
    readCount_ += static_cast<int>(n);
    rcvBuf_[static_cast<size_t>(rcvdCnt_ + n)] = 0;
    int newBytes = static_cast<int>(n);
    if (LineEdit)
        EditLine(newBytes);
    else if (LineEcho)
        SendText(std::string(rcvBuf_.data() + rcvdCnt_, static_cast<size_t>(newBytes)));
    int searchStart = std::max(0, rcvdCnt_ - static_cast<int>(LineEnd.size()));
    rcvdCnt_ += newBytes;
    DeliverLines(searchStart);
    if (LineLimit > 0 && rcvdCnt_ > LineLimit) {
        lineClearData_ = true;
        NotifyLineLimitExceeded(rcvdCnt_, lineClearData_);
        if (lineClearData_) {
            rcvdCnt_ = 0;
            lineLength_ = 0;
            if (!rcvBuf_.empty()) rcvBuf_[0] = 0;
            lineClearData_ = false;
        }
    }
    return true;
}

void TCustomLineAsyncSocket::DeliverLines(int searchStart) {
    while (lineMode_ && rcvdCnt_ > 0) {
        const char* begin = rcvBuf_.data();
        const char* end = begin + rcvdCnt_;
        const char* at = std::search(begin + searchStart, end, LineEnd.begin(), LineEnd.end());
        if (at == end) break;
        lineLength_ = static_cast<int>(at - begin) + static_cast<int>(LineEnd.size());
        while (lineMode_ && lineLength_ > 0) {
            if (!OnDataAvailable) {
                TakeFront(lineLength_); // nobody reads lines: the line is dropped
                lineLength_ = 0;
                break;
            }
            int before = lineLength_;
            OnDataAvailable(this, 0);
            if (lineLength_ == before) return; // nothing read: keep the line for the next read
        }
        searchStart = 0;
    }
}

void TCustomLineAsyncSocket::NotifySessionClosed(uint16_t error) {
    if (!rcvBuf_.empty()) {
        if (lineMode_ && rcvdCnt_ > 0 && !lineClearData_) {
            // The unterminated rest is handed out once as a final line; unread bytes go.
            lineLength_ = rcvdCnt_;
            try {
                TCustomSocksAsyncSocket::NotifyDataAvailable(0);
            } catch (...) {
                // the close must be reported whatever the data handler does
            }
        }
        rcvBuf_.clear();
        rcvBuf_.shrink_to_fit();
        rcvdCnt_ = 0;
        lineLength_ = 0;
    }
    TCustomSocksAsyncSocket::NotifySessionClosed(error);
}

void TCustomLineAsyncSocket::HandleMessage(const platform::Message& message) {
    if (message.msg != kMsgLineModeChanged) return TCustomSocksAsyncSocket::HandleMessage(message);
    if (rcvdCnt_ <= 0 && lineLength_ <= 0) return;
    if (lineMode_) {
        lineLength_ = 0;
        DeliverLines(0);
    } else if (OnDataAvailable) {
        lineLength_ = 0;
        OnDataAvailable(this, 0); // once: bytes the handler leaves stay for its next read
    }
}

void TCustomLineAsyncSocket::NotifyLineLimitExceeded(int rcvdLength, bool& clearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, rcvdLength, clearData);
}

void TCustomLineAsyncSocket::EditLine(int& newBytes) {
    std::vector<char> edited(rcvBuf_.begin(), rcvBuf_.begin() + rcvdCnt_);
    size_t firstChange = edited.size();
    std::string echo;
    for (int i = 0; i < newBytes; ++i) {
        char c = rcvBuf_[static_cast<size_t>(rcvdCnt_ + i)];
        if (c == '\b') {
            if (!edited.empty()) {
                edited.pop_back();
                firstChange = std::min(firstChange, edited.size());
                if (LineEcho) echo += "\b \b";
            }
        } else if (c == '\t') {
            do {
                edited.push_back(' ');
                if (LineEcho) echo += ' ';
            } while (edited.size() % 8 != 0);
        } else {
            edited.push_back(c);
            if (LineEcho) echo += c;
        }
    }
    // The line search must start where the edit changed the buffer, which a backspace can
    // move before the new bytes.
    int total = static_cast<int>(edited.size());
    edited.push_back(0);
    rcvBuf_ = std::move(edited);
    rcvdCnt_ = static_cast<int>(firstChange);
    newBytes = total - rcvdCnt_;
    if (!echo.empty()) SendText(echo);
}

int TCustomSyncAsyncSocket::WaitUntilReady(const bool& flag, int timeoutMs) {
    uint32_t start = platform::TickCount();
    platform::MessageLoop& loop = platform::MessageLoop::Current();
    while (!flag) {
        if (loop.Quitting()) return 12001;
        uint32_t elapsed = platform::TickCount() - start;
        if (timeoutMs > 0 && elapsed >= static_cast<uint32_t>(timeoutMs)) return 12001;
        int wait =
            timeoutMs > 0 ? static_cast<int>(static_cast<uint32_t>(timeoutMs) - elapsed) : 100;
        loop.RunOnce(std::min(wait, 100));
    }
    return 0;
}

} // namespace asyncsock
