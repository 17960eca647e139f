// One fixed-size chunk of a socket's send list. Data occupies ReadPos .. WritePos-1; when
// everything has been taken out both positions return to 0 so the chunk can be refilled.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace asyncsock {

class TBuffer {
  public:
    explicit TBuffer(int size) { SetSize(size); }

    // A size of 0 or less means 1514. Keeps the data written so far.
    void SetSize(int size);
    // Copies as much as fits; returns the bytes taken.
    int Write(const void* data, int len);
    // Start and length of the unread data; (nullptr, 0) when empty.
    std::pair<const char*, int> Peek() const;
    // Drops up to len unread bytes; returns how many.
    int Remove(int len);

    int Capacity() const { return capacity_; }
    int WritePos() const { return writePos_; }
    int ReadPos() const { return readPos_; }

  private:
    std::unique_ptr<char[]> storage_;
    int capacity_ = 0;
    int writePos_ = 0;
    int readPos_ = 0;
};

} // namespace asyncsock
