// Thin wrappers over the BSD socket calls for sockets served by a MessageLoop. Each sets the
// thread's LastSocketError() (Windows Sockets numbering) and re-arms the loop's one-shot
// notifications the way the asynchronous-select contract requires.
#pragma once

#include <cstddef>
#include <sys/socket.h>

namespace platform {

// Non-blocking, close-on-exec socket; -1 on failure.
int SockCreate(int family, int type, int protocol);
// -1 with 10035 when the peer's data has not arrived; re-arms the read notification.
long SockRecv(int fd, void* buffer, size_t length);
// Never raises SIGPIPE; a short or would-block send re-arms the write notification.
long SockSend(int fd, const void* data, size_t length, int flags);
// Accepted sockets are non-blocking too; re-arms the accept notification.
int SockAccept(int fd, sockaddr* address, socklen_t* length);
// 0 for an immediate connection, -1 with 10035 while it is in progress (as Windows reports).
int SockConnect(int fd, const sockaddr* address, socklen_t length);
// Bytes waiting to be read, or -1.
long SockPendingBytes(int fd);
// Ends the loop's registration before the descriptor number can be reused.
int SockClose(int fd);
// Returns 0 or -1; LastSocketError() holds the error.
int SockCheck(int result);

} // namespace platform
