// What a client's MAIL or RCPT argument names: the server's one rule for addresses. An
// address is kept exactly as the client gave it when it is a valid RFC 5321 mailbox, and
// refused (with why) otherwise: one character rewritten is another person's mailbox.
#pragma once

#include <string>

namespace smtpserver {

struct TAddressArgument {
    std::string address; // as given; empty for "<>" and for a refused argument
    std::string problem; // why it is refused; empty when it is not
};

// `trimmed` is the argument after "MAIL FROM:" or "RCPT TO:", blanks trimmed. In angle
// brackets the address is what stands between them (parameters after the closing bracket,
// such as SIZE=, are the client's and no part of it; a source route before a colon is
// dropped, as RFC 5321 C says); without them it is the whole argument. Valid: a local part
// (atoms of atext joined by single dots, or a quoted string), then optionally "@" and a
// domain (labels of letters, digits and hyphens) or an address literal ("[...]"); a bare
// local part is a local name ("root") for the relay to resolve. Bytes of 128 and above are
// taken as the client's (internationalized addresses). Refused: a control character, an
// unquoted space, an unbalanced or misplaced bracket, any other byte outside that syntax.
TAddressArgument ParseAddressArgument(const std::string& trimmed);

} // namespace smtpserver
