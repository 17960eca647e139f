#include "asyncsock/socket_buffer.h"

#include <algorithm>
#include <cstring>

namespace asyncsock {

void TBuffer::SetSize(int size) {
    if (size <= 0) size = 1514;
    if (size == capacity_) return;
    auto fresh = std::make_unique<char[]>(static_cast<size_t>(size));
    int keep = std::min(writePos_, size);
    if (keep > 0) std::memcpy(fresh.get(), storage_.get(), static_cast<size_t>(keep));
    storage_ = std::move(fresh);
    capacity_ = size;
    writePos_ = keep;
    readPos_ = std::min(readPos_, writePos_);
}

int TBuffer::Write(const void* data, int len) {
    int room = capacity_ - writePos_;
    if (room <= 0 || len <= 0) return 0;
    int n = std::min(room, len);
    std::memcpy(storage_.get() + writePos_, data, static_cast<size_t>(n));
    writePos_ += n;
    return n;
}

std::pair<const char*, int> TBuffer::Peek() const {
    if (writePos_ <= readPos_) return {nullptr, 0};
    return {storage_.get() + readPos_, writePos_ - readPos_};
}

int TBuffer::Remove(int len) {
    int n = std::clamp(len, 0, writePos_ - readPos_);
    readPos_ += n;
    if (readPos_ >= writePos_) readPos_ = writePos_ = 0;
    return n;
}

} // namespace asyncsock
