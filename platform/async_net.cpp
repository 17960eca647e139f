#include "platform/async_net.h"

#include "platform/message_loop.h"
#include "platform/wsa_numbers.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

namespace {
int Fail() {
    SetLastSocketError(WsaFromErrno(errno));
    return -1;
}
} // namespace

int SockCheck(int result) {
    if (result < 0) return Fail();
    SetLastSocketError(0);
    return 0;
}

int SockCreate(int family, int type, int protocol) {
    int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return Fail();
    SetLastSocketError(0);
    return fd;
}

long SockRecv(int fd, void* buffer, size_t length) {
    ssize_t n = ::recv(fd, buffer, length, 0);
    int saved = errno;
    if (MessageLoop* loop = MessageLoop::CurrentIfAny()) loop->NoteReceived(fd);
    if (n < 0) {
        errno = saved;
        return Fail();
    }
    SetLastSocketError(0);
    return n;
}

long SockSend(int fd, const void* data, size_t length, int flags) {
    ssize_t n = ::send(fd, data, length, flags | MSG_NOSIGNAL);
    int saved = errno;
    bool incomplete = (n < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) ||
                      (n >= 0 && static_cast<size_t>(n) < length);
    if (incomplete)
        if (MessageLoop* loop = MessageLoop::CurrentIfAny()) loop->NoteSendIncomplete(fd);
    if (n < 0) {
        errno = saved;
        return Fail();
    }
    SetLastSocketError(0);
    return n;
}

int SockAccept(int fd, sockaddr* address, socklen_t* length) {
    int client = ::accept4(fd, address, length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int saved = errno;
    if (MessageLoop* loop = MessageLoop::CurrentIfAny()) {
        if (client < 0 &&
            (saved == EMFILE || saved == ENFILE || saved == ENOBUFS || saved == ENOMEM))
            loop->NoteAcceptExhausted(fd);
        else
            loop->NoteReceived(fd);
    }
    if (client < 0) {
        errno = saved;
        return Fail();
    }
    SetLastSocketError(0);
    return client;
}

int SockConnect(int fd, const sockaddr* address, socklen_t length) {
    if (::connect(fd, address, length) == 0) {
        SetLastSocketError(0);
        return 0;
    }
    if (errno == EINPROGRESS) {
        if (MessageLoop* loop = MessageLoop::CurrentIfAny()) loop->NoteConnectStarted(fd);
        SetLastSocketError(kWsaEWOULDBLOCK);
        return -1;
    }
    return Fail();
}

long SockPendingBytes(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0) return Fail();
    SetLastSocketError(0);
    return count;
}

int SockClose(int fd) {
    if (MessageLoop* loop = MessageLoop::CurrentIfAny()) loop->ForgetSocket(fd);
    return SockCheck(::close(fd));
}

} // namespace platform
