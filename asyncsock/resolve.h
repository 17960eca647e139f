// Protocol, port and host resolution for Listen and Connect. Each throws ESocketException
// with the texts below; nothing else.
#pragma once

#include "platform/text.h"

#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace asyncsock {

// Throws "AsyncSocketResolveProto: Invalid Protocol." or
// "AsyncSocketResolveProto: Cannot convert protocol '%s', Error #%d".
int AsyncSocketResolveProto(const std::string& text);

// Port number in host order. Throws "AsyncSocketResolvePort: Invalid Port.",
// "AsyncSocketResolvePort: Invalid Proto." or
// "AsyncSocketResolvePort: Cannot convert port '%s', Error #%d".
uint16_t AsyncSocketResolvePort(const std::string& port, const std::string& proto);

// IPv4 address. Blocks for a host name. Throws "AsyncSocketResolveHost: '<text>' Invalid
// Hostname.", "... Invalid IP address." or
// "AsyncSocketResolveHost: Cannot convert host address '%s', Error #%d".
in_addr AsyncSocketResolveHost(const std::string& text);

// Removes every byte of value 0x20 or below at both ends.
using platform::TrimBlanks;

// Dotted-quad form as the host resolver accepts it: optional blanks around, four parts of at
// most 255, no leading dot. Stores the address on success.
bool ParseDottedQuad(const std::string& text, in_addr& address);

} // namespace asyncsock
