// Which failures of a relay may pass when it is tried again later, and which never will: the
// relay's one policy for that (RFC 5321 4.2.1 and 4.5.4.1: a 4yz reply, and a connection
// that could not be made or was lost, mean "try again later"; a 5yz reply means "do not
// repeat this as it is"). The client's steps, the deferral and the session gate all ask here;
// nothing else decides.
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
    // The provider no longer honours the account's OAuth 2.0 sign-in: only the user, signing
    // in again, can mend it (the window says so beside the failure line).
    bool signInNeeded = false;
};

// A reply code that refused a step: temporary for 4xx only. A 5xx, and any code that is no
// refusal the protocol knows (a cut-off reply's 0), would be refused again.
bool IsTemporaryReply(int code);

// A socket error (the blocking layer's number and text): the network failed on the way, or
// the name server could not answer now. A name that does not exist, a TLS protocol the
// server does not speak and a certificate that fails verification stay as they are; a peer
// that closed or reset a TLS connection (OpenSSL's system-call and end-of-file errors, and
// OpenSSL 3's "unexpected eof while reading") is a server restarting or shedding load.
bool IsTemporarySocketError(int code, const std::string& text);

// A socket error before a new session's greeting that means the upstream did not take it:
// refused, closed or reset, or (implicit TLS) the connection dropped during the handshake.
bool IsSessionRefusal(int code, const std::string& text);

// Failures the client finds itself, in no reply and on no socket.
enum class TClientFailure {
    ReplyLimit,        // a reply over the line or line-count limit: a broken server
    StartTlsMissing,   // TLS asked for, STARTTLS not offered, credentials to send
    StartTlsInjection, // bytes after the 220 to STARTTLS, before the handshake
    TokenInClear,      // an OAuth token on a connection without TLS
    SecretUnavailable, // the keyring or token command failed (still locked after a log-in)
    SignInExpired,     // the provider refused the stored sign-in: the user must sign in again
    NoRecipient,       // the recipient text names no address
    ThisRelayItself,   // the account's server is this relay: it would loop without end
    TextUnreadable,    // the text could not be read again for a following transaction
    Stopped,           // an exit stopped the relay before the end of its text
};
TFailureClass ClassOf(TClientFailure failure);

// A failure's class when the session's AUTH was refused before it: a refusal that followed
// a 454 (the server could not check the password now) passes once the server can.
TFailureClass AfterAuthRefusal(TFailureClass failure, bool authRefusalTemporary);

// What a reply to RCPT does with its recipient (RFC 5321 3.3 and 4.5.3.1.10).
enum class TRecipientReply {
    Accepted, // 250, or 251 "will forward"
    // 452 (and 552, which the RFC says to treat as 452 here) after other recipients of the
    // transaction were accepted: too many recipients for one transaction, the rest go in the
    // next one at once.
    TooMany,
    Temporary, // another 4xx: this recipient is tried again later, alone
    Permanent, // a 5xx or a code that is no reply to RCPT: this recipient fails
};
TRecipientReply ClassifyRecipientReply(int code, bool othersAccepted);

// A socket error or a reply limit ended the session's connection (code is the socket's error
// number, 0 for none): nothing more can be sent over it.
bool SessionBroken(int socketError, bool replyLimitHit);

} // namespace smtpclient
