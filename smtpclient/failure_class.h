// Which failures of a relay may pass when it is tried again later, and which never will: the
// relay's one policy for that (RFC 5321 4.2.1 and 4.5.4.1: a 4yz reply, and a connection
// that could not be made or was lost, mean "try again later"; a 5yz reply means "do not
// repeat this as it is").
#pragma once

#include <string>

namespace smtpclient {

// What a failed relay tells its caller beside its reason.
struct TFailureClass {
    // A later try may pass: a 4xx reply, a connection refused, unreachable, timed out, closed
    // or reset, a temporary name-resolution failure, a secret command that failed.
    bool temporary = false;
    // A new session was refused at its connect or with its greeting (a 4xx greeting, a
    // connection refused, closed or reset before it): how an upstream that caps its sessions
    // answers one session too many.
    bool sessionRefused = false;
};

// A reply code that refused a step: temporary for 4xx only. A 5xx, and any code that is no
// refusal the protocol knows (251 to RCPT, a cut-off reply's 0), would be refused again.
bool IsTemporaryReply(int code);

// A socket error (the blocking layer's number and text): the network failed on the way, or
// the name server could not answer now. A name that does not exist, a TLS protocol the
// server does not speak and a certificate that fails verification stay as they are.
bool IsTemporarySocketError(int code, const std::string& text);

// A socket error that means the upstream did not take a new connection: refused, closed or
// reset before its greeting.
bool IsSessionRefusal(int code);

} // namespace smtpclient
