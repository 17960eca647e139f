#include "platform/socket_error_texts.h"

#include <algorithm>
#include <iterator>

namespace platform {

namespace {
// Sorted by number.
constexpr SocketErrorText kTexts[] = {
    {0, "No Error", nullptr},
    {10004, "Interrupted system call", "Interrupted system call"},
    {10009, "Bad file number", "Bad file number"},
    {10013, "Permission denied", "Permission denied"},
    {10014, "Bad address", "Bad address"},
    {10022, "Invalid argument", "Invalid argument"},
    {10024, "Too many open files", "Too many open files"},
    {10035, "Operation would block", "Operation would block"},
    {10036, "Operation now in progress", "Operation now in progress"},
    {10037, "Operation already in progress", "Operation already in progress"},
    {10038, "Socket operation on non-socket", "Socket operation on nonsocket"},
    {10039, "Destination address required", "Destination address required"},
    {10040, "Message too long", "Message too long"},
    {10041, "Protocol wrong type for socket", "Protocol wrong type for Socket"},
    {10042, "Protocol not available", "Protocol not available"},
    {10043, "Protocol not supported", "Protocol not supported"},
    {10044, "Socket type not supported", "Socket not supported"},
    {10045, "Operation not supported on socket", "Operation not supported on Socket"},
    {10046, "Protocol family not supported", "Protocol family not supported"},
    {10047, "Address family not supported by protocol family", "Address family not supported"},
    {10048, "Address already in use", "Address already in use"},
    {10049, "Address not available", "Can't assign requested address"},
    {10050, "Network is down", "Network is down"},
    {10051, "Network is unreachable", "Network is unreachable"},
    {10052, "Network dropped connection on reset", "Network dropped connection on reset"},
    {10053, "Connection aborted", "Software caused connection abort"},
    {10054, "Connection reset by peer", "Connection reset by peer"},
    {10055, "No buffer space available", "No Buffer space available"},
    {10056, "Socket is already connected", "Socket is already connected"},
    {10057, "Socket is not connected", "Socket is not connected"},
    {10058, "Can't send after socket shutdown", "Can't send after Socket shutdown"},
    {10059, "Too many references: can't splice", "Too many references:can't splice"},
    {10060, "Connection timed out", "Connection timed out"},
    {10061, "Connection refused", "Connection refused"},
    {10062, "Too many levels of symbolic links", "Too many levels of symbolic links"},
    {10063, "File name too long", "File name is too long"},
    {10064, "Host is down", "Host is down"},
    {10065, "No route to host", "No route to host"},
    {10066, "Directory not empty", "Directory is not empty"},
    {10067, "Too many processes", "Too many processes"},
    {10068, "Too many users", "Too many users"},
    {10069, "Disc quota exceeded", "Disk quota exceeded"},
    {10070, "Stale NFS file handle", "Stale NFS file handle"},
    {10071, "Too many levels of remote in path", "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable", "Network subsystem is unusable"},
    {10092, "WinSock DLL cannot support this application",
     "Winsock DLL cannot support this application"},
    {10093, "WinSock not initialized", "Winsock not initialized"},
    {10101, nullptr, "Disconnect"},
    {11001, "Host not found", "Host not found"},
    {11002, "Non-authoritative host not found", "Non authoritative - host not found"},
    {11003, "Non-recoverable error", "Non recoverable error"},
    {11004, "No Data", "Valid name, no data record of requested type"},
};
} // namespace

const SocketErrorText* FindSocketErrorText(int code) {
    auto found = std::lower_bound(std::begin(kTexts), std::end(kTexts), code,
                                  [](const SocketErrorText& e, int c) { return e.code < c; });
    return found != std::end(kTexts) && found->code == code ? found : nullptr;
}

} // namespace platform
