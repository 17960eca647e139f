#include "app/core/local_peers.h"

#include "blocksock/sockapi.h"
#include "platform/text.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>

namespace app {

namespace {

constexpr const char* kMappedPrefix = "::ffff:";

// "::ffff:a.b.c.d" as "a.b.c.d"; anything else unchanged.
std::string Unmapped(const std::string& address) {
    std::string lower = platform::AsciiLower(address);
    std::string prefix = kMappedPrefix;
    if (lower.compare(0, prefix.size(), prefix) == 0 &&
        lower.find('.', prefix.size()) != std::string::npos)
        return address.substr(prefix.size());
    return address;
}

} // namespace

bool IsLoopbackAddress(const std::string& address) {
    std::string plain = Unmapped(address);
    in_addr v4{};
    if (inet_pton(AF_INET, plain.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, plain.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::vector<std::string> OwnAddresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        int family = entry->ifa_addr->sa_family;
        const void* raw = nullptr;
        if (family == AF_INET)
            raw = &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        else if (family == AF_INET6)
            raw = &reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        if (raw && inet_ntop(family, raw, text, sizeof(text))) addresses.emplace_back(text);
    }
    return addresses;
}

bool IsLocalPeer(const std::string& address, const std::vector<std::string>& own) {
    if (IsLoopbackAddress(address)) return true;
    std::string plain = Unmapped(address);
    for (const std::string& mine : own)
        if (Unmapped(mine) == plain) return true;
    return false;
}

bool IsThisMachine(const std::string& address) {
    return IsLoopbackAddress(address) || IsLocalPeer(address, OwnAddresses());
}

bool IsThisRelay(const std::string& host, const std::string& port, uint16_t ownPort) {
    if (ownPort == 0 ||
        blocksock::ResolveServicePort(port, AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM) != ownPort)
        return false;
    std::vector<std::string> addresses;
    blocksock::ResolveHostAddresses(host, AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM, addresses);
    std::vector<std::string> own = OwnAddresses();
    for (const std::string& address : addresses)
        if (address != "0.0.0.0" && IsLocalPeer(address, own)) return true;
    return false;
}

} // namespace app
