// Name resolution and socket addresses for the blocking socket, through the platform's
// getaddrinfo family (linked directly, so the address-info path is always available and no
// library is loaded at run time). Error codes: 0 = success, otherwise Windows Sockets
// numbers (11001 host not found, ...).
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace blocksock {

// 28 bytes, zero-initialised: an IPv4 or IPv6 socket address.
struct SocketAddress {
    union {
        sockaddr sa;
        sockaddr_in in4;
        sockaddr_in6 in6;
        unsigned char bytes[28];
    };
    SocketAddress() : bytes{} {}
    int Family() const { return sa.sa_family; }
    // 16 for IPv4, 28 for IPv6, 0 otherwise.
    socklen_t Length() const;
};

constexpr bool AddressInfoAvailable = true;

bool UsesAddressInfo(int family);
// Host and port text to an address. Wildcard ("0.0.0.0", "::0") and loopback ("127.0.0.1",
// "::1") hosts never consult the name service. With family AF_UNSPEC both families are
// tried, IPv4 first when `preferIPv4`.
int BuildSocketAddress(const std::string& host, const std::string& port, int family, int protocol,
                       int socketType, bool preferIPv4, SocketAddress& address);
// Numeric host text, or empty.
std::string AddressText(const SocketAddress& address);
uint16_t AddressPort(const SocketAddress& address);
// Never leaves the list empty: "0.0.0.0" stands for no address.
void ResolveHostAddresses(const std::string& name, int family, int protocol, int socketType,
                          std::vector<std::string>& out);
// 0 when the service is unknown.
uint16_t ResolveServicePort(const std::string& port, int family, int protocol, int socketType);
// The host name, or the address text itself when there is none.
std::string ResolveAddressName(const std::string& address, int family, int protocol,
                               int socketType);
std::string LocalHostName();

// Forwarders taking a SocketAddress; each returns the platform result (-1 on failure, with
// errno set).
int BindAddress(int fd, const SocketAddress& address);
int ConnectAddress(int fd, const SocketAddress& address);
int LocalAddressOf(int fd, SocketAddress& address);
int PeerAddressOf(int fd, SocketAddress& address);

} // namespace blocksock
