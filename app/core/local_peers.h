// Which peers count as this machine. The inbound server relays through the user's own
// account, so by default only programs on this workstation may use it: anyone else who can
// reach port 25 would otherwise send mail in the user's name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

// 127.0.0.0/8, ::1, and either of them written as an IPv4-mapped IPv6 address.
bool IsLoopbackAddress(const std::string& address);
// The addresses of this machine's interfaces, as text (empty when they cannot be listed).
std::vector<std::string> OwnAddresses();
// A loopback address or one of `own` (IPv4-mapped IPv6 compared as IPv4).
bool IsLocalPeer(const std::string& address, const std::vector<std::string>& own);
// A loopback address or one of this machine's (the interface list read afresh, since
// addresses come and go with the network; loopback needs no system call).
bool IsThisMachine(const std::string& address);
// Whether `host` names this machine (any address it resolves to is one of ours) and
// `port` is `ownPort`: a relay to it would come straight back. Resolves `host` only when the
// ports are the same.
bool IsThisRelay(const std::string& host, const std::string& port, uint16_t ownPort);

} // namespace app
