#include "blocksock/sockapi.h"

#include "platform/wsa_numbers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

namespace blocksock {

namespace {

// One getaddrinfo pass of BuildSocketAddress.
int LookupOnce(const std::string& host, const std::string& port, addrinfo hints,
               SocketAddress& address) {
    address = SocketAddress();
    const char* node = host.c_str();
    const char* service = port.c_str();
    if (hints.ai_socktype == SOCK_RAW) {
        hints.ai_socktype = 0;
        hints.ai_protocol = 0;
        service = nullptr;
    } else if (host == "0.0.0.0" || host == "::0") {
        hints.ai_flags |= AI_PASSIVE;
        node = nullptr;
    } else if (host == "127.0.0.1" || host == "::1") {
        node = nullptr;
    }
    addrinfo* result = nullptr;
    int rc = getaddrinfo(node, service, &hints, &result);
    int saved = errno;
    if (rc == 0 && result)
        std::memcpy(address.bytes, result->ai_addr,
                    std::min<size_t>(result->ai_addrlen, sizeof(address.bytes)));
    if (result) freeaddrinfo(result);
    return platform::WsaFromGaiError(rc, saved);
}

std::string NumericHost(const sockaddr* sa, socklen_t length) {
    char host[1025] = {};
    char service[32] = {};
    if (getnameinfo(sa, length, host, sizeof(host), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return std::string();
    return host;
}

} // namespace

socklen_t SocketAddress::Length() const {
    if (Family() == AF_INET) return sizeof(sockaddr_in);
    if (Family() == AF_INET6) return sizeof(sockaddr_in6);
    return 0;
}

bool UsesAddressInfo(int) {
    return AddressInfoAvailable;
}

int BuildSocketAddress(const std::string& host, const std::string& port, int family, int protocol,
                       int socketType, bool preferIPv4, SocketAddress& address) {
    address = SocketAddress();
    addrinfo hints{};
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    if (family != AF_UNSPEC) {
        hints.ai_family = family;
        return LookupOnce(host, port, hints, address);
    }
    hints.ai_family = preferIPv4 ? AF_INET : AF_INET6;
    int rc = LookupOnce(host, port, hints, address);
    if (rc == 0) return rc;
    hints.ai_family = preferIPv4 ? AF_INET6 : AF_INET;
    SocketAddress second;
    rc = LookupOnce(host, port, hints, second);
    if (rc == 0) address = second;
    return rc;
}

std::string AddressText(const SocketAddress& address) {
    if (address.Length() == 0) return std::string();
    return NumericHost(&address.sa, address.Length());
}

uint16_t AddressPort(const SocketAddress& address) {
    return ntohs(address.Family() == AF_INET6 ? address.in6.sin6_port : address.in4.sin_port);
}

void ResolveHostAddresses(const std::string& name, int family, int protocol, int socketType,
                          std::vector<std::string>& out) {
    out.clear();
    addrinfo hints{};
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0) {
        for (addrinfo* ai = result; ai; ai = ai->ai_next) {
            if (family == AF_INET6 && ai->ai_family == AF_INET) continue;
            if (family == AF_INET && ai->ai_family == AF_INET6) continue;
            std::string text = NumericHost(ai->ai_addr, ai->ai_addrlen);
            if (!text.empty()) out.push_back(text);
        }
    }
    if (result) freeaddrinfo(result);
    if (out.empty()) out.push_back("0.0.0.0");
}

uint16_t ResolveServicePort(const std::string& port, int, int protocol, int socketType) {
    addrinfo hints{};
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* result = nullptr;
    uint16_t value = 0;
    if (getaddrinfo(nullptr, port.c_str(), &hints, &result) == 0 && result) {
        if (result->ai_family == AF_INET)
            value = ntohs(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_port);
        else if (result->ai_family == AF_INET6)
            value = ntohs(reinterpret_cast<sockaddr_in6*>(result->ai_addr)->sin6_port);
    }
    if (result) freeaddrinfo(result);
    return value;
}

std::string ResolveAddressName(const std::string& address, int, int protocol, int socketType) {
    addrinfo hints{};
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    addrinfo* result = nullptr;
    std::string name = address;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &result) == 0 && result) {
        char host[1025] = {};
        char service[32] = {};
        if (getnameinfo(result->ai_addr, result->ai_addrlen, host, sizeof(host), service,
                        sizeof(service), NI_NUMERICSERV) == 0)
            name = host;
    }
    if (result) freeaddrinfo(result);
    return name;
}

std::string LocalHostName() {
    char buffer[255] = {};
    if (gethostname(buffer, 254) != 0) return std::string();
    return buffer;
}

int BindAddress(int fd, const SocketAddress& address) {
    return ::bind(fd, &address.sa, address.Length());
}
int ConnectAddress(int fd, const SocketAddress& address) {
    return ::connect(fd, &address.sa, address.Length());
}

int LocalAddressOf(int fd, SocketAddress& address) {
    address = SocketAddress();
    socklen_t length = sizeof(address.bytes);
    return ::getsockname(fd, &address.sa, &length);
}

int PeerAddressOf(int fd, SocketAddress& address) {
    address = SocketAddress();
    socklen_t length = sizeof(address.bytes);
    return ::getpeername(fd, &address.sa, &length);
}

} // namespace blocksock
