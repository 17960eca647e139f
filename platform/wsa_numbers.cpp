#include "platform/wsa_numbers.h"

#include <cerrno>
#include <netdb.h>

namespace platform {

namespace {
thread_local int tlsLastSocketError = 0;
}

int WsaFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
        return 10024;
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    // Linux reports a send to a peer that has reset or closed as EPIPE; for the callers this
    // is the same situation as a reset (the connection is gone), not a local shutdown.
    case EPIPE:
        return 10054;
    case ENOBUFS:
        return 10055;
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return 10000 + err;
    }
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
