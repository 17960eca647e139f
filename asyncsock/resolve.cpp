#include "asyncsock/resolve.h"

#include "asyncsock/esocket_exception.h"
#include "platform/wsa_numbers.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <netdb.h>
#include <unordered_map>

namespace asyncsock {

namespace {

// Used when the system tables (/etc/protocols, /etc/services) are absent, as on minimal
// installations; the program must still listen on "Smtp".
const std::unordered_map<std::string, int> kFallbackProtocols = {
    {"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17}};
const std::unordered_map<std::string, int> kFallbackServices = {
    {"ftp", 21},          {"ssh", 22},         {"telnet", 23}, {"smtp", 25},   {"domain", 53},
    {"http", 80},         {"pop3", 110},       {"imap", 143},  {"https", 443}, {"smtps", 465},
    {"submissions", 465}, {"submission", 587}, {"imaps", 993}, {"pop3s", 995}};

} // namespace

int AsyncSocketResolveProto(const std::string& text) {
    if (text.empty() || text.size() >= 32)
        throw ESocketException("AsyncSocketResolveProto: Invalid Protocol.");
    std::string name = TrimBlanks(text);
    if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0])))
        return std::atoi(name.c_str());
    protoent entry{};
    protoent* found = nullptr;
    char buffer[1024];
    std::string lower = platform::AsciiLower(name);
    if (getprotobyname_r(lower.c_str(), &entry, buffer, sizeof(buffer), &found) == 0 && found)
        return found->p_proto;
    auto it = kFallbackProtocols.find(lower);
    if (it != kFallbackProtocols.end()) return it->second;
    throw ESocketException("AsyncSocketResolveProto: Cannot convert protocol '" + text +
                           "', Error #" + std::to_string(platform::kWsaNO_DATA));
}

uint16_t AsyncSocketResolvePort(const std::string& port, const std::string& proto) {
    if (port.empty() || port.size() >= 32)
        throw ESocketException("AsyncSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32)
        throw ESocketException("AsyncSocketResolvePort: Invalid Proto.");
    size_t i = 0;
    while (i < port.size() && port[i] == ' ') ++i;
    if (i < port.size() && std::isdigit(static_cast<unsigned char>(port[i]))) {
        unsigned long value = 0;
        for (; i < port.size() && std::isdigit(static_cast<unsigned char>(port[i])); ++i)
            value = value * 10 + static_cast<unsigned long>(port[i] - '0');
        return static_cast<uint16_t>(value); // the platform keeps the low 16 bits as well
    }
    std::string name = platform::AsciiLower(TrimBlanks(port));
    std::string protocol = platform::AsciiLower(TrimBlanks(proto));
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (getservbyname_r(name.c_str(), protocol.c_str(), &entry, buffer, sizeof(buffer), &found) ==
            0 &&
        found)
        return ntohs(static_cast<uint16_t>(found->s_port));
    auto it = kFallbackServices.find(name);
    if (it != kFallbackServices.end() && (protocol == "tcp" || protocol == "6"))
        return static_cast<uint16_t>(it->second);
    throw ESocketException("AsyncSocketResolvePort: Cannot convert port '" + port + "', Error #" +
                           std::to_string(platform::kWsaNO_DATA));
}

bool ParseDottedQuad(const std::string& text, in_addr& address) {
    std::string t = text;
    size_t b = 0, e = t.size();
    while (b < e && t[b] == ' ') ++b;
    while (e > b && t[e - 1] == ' ') --e;
    t = t.substr(b, e - b);
    if (t.empty() || t[0] == '.') return false;
    uint32_t parts[4];
    int count = 0;
    size_t pos = 0;
    while (count < 4) {
        if (pos >= t.size() || !std::isdigit(static_cast<unsigned char>(t[pos]))) return false;
        uint32_t value = 0;
        int digits = 0;
        while (pos < t.size() && std::isdigit(static_cast<unsigned char>(t[pos]))) {
            value = value * 10 + static_cast<uint32_t>(t[pos++] - '0');
            if (++digits > 3 || value > 255) return false;
        }
        parts[count++] = value;
        if (count < 4) {
            if (pos >= t.size() || t[pos] != '.') return false;
            ++pos;
        }
    }
    if (pos != t.size()) return false;
    address.s_addr = htonl((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
    return true;
}

in_addr AsyncSocketResolveHost(const std::string& text) {
    if (text.empty() || text.size() > 256)
        throw ESocketException("AsyncSocketResolveHost: '" + text + "' Invalid Hostname.");
    in_addr address{};
    if (ParseDottedQuad(text, address)) {
        if (address.s_addr == INADDR_NONE && TrimBlanks(text) != "255.255.255.255")
            throw ESocketException("AsyncSocketResolveHost: '" + text + "' Invalid IP address.");
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(TrimBlanks(text).c_str(), nullptr, &hints, &result);
    int saved = errno;
    if (rc != 0 || !result) {
        throw ESocketException("AsyncSocketResolveHost: Cannot convert host address '" + text +
                               "', Error #" + std::to_string(platform::WsaFromGaiError(rc, saved)));
    }
    address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return address;
}

} // namespace asyncsock
