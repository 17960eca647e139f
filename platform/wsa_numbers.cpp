#include "platform/wsa_numbers.h"

#include <cerrno>
#include <netdb.h>

namespace platform {

namespace {
thread_local int tlsLastSocketError = 0;

struct ErrnoNumber {
    int native;
    int wsa;
};

// Where Linux has two causes for one Windows number (EPERM and EACCES, ENFILE and EMFILE,
// ENOMEM and ENOBUFS) both map to it; anything unlisted becomes 10000 + errno.
constexpr ErrnoNumber kErrnoNumbers[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EAGAIN, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    // Linux reports a send to a peer that has reset or closed as EPIPE; for the callers this
    // is the same situation as a reset (the connection is gone), not a local shutdown.
    {EPIPE, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

} // namespace

int WsaFromErrno(int err) {
    if (err == 0) return 0;
    for (const ErrnoNumber& row : kErrnoNumbers)
        if (row.native == err) return row.wsa;
    return 10000 + err;
}

int WsaFromGaiError(int gaiError, int savedErrno) {
    switch (gaiError) {
    case 0:
        return 0;
    case EAI_NONAME:
        return kWsaHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return kWsaNO_DATA;
#endif
    case EAI_ADDRFAMILY:
        return kWsaNO_DATA;
    case EAI_AGAIN:
        return kWsaTRY_AGAIN;
    case EAI_FAIL:
        return kWsaNO_RECOVERY;
    case EAI_FAMILY:
        return 10047;
    case EAI_SOCKTYPE:
        return 10044;
    case EAI_SERVICE:
        return 10109; // type not found
    case EAI_MEMORY:
        return 10055;
    case EAI_BADFLAGS:
        return 10022;
    case EAI_SYSTEM:
        return savedErrno ? WsaFromErrno(savedErrno) : kWsaNO_RECOVERY;
    default:
        return kWsaNO_RECOVERY;
    }
}

int LastSocketError() {
    return tlsLastSocketError;
}
void SetLastSocketError(int wsaError) {
    tlsLastSocketError = wsaError;
}

} // namespace platform
