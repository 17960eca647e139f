// The message a sendmail caller writes to standard input, made ready for SMTP: its lines,
// the headers an MTA is expected to add when they are missing, Bcc removed, and the
// recipients (the arguments, and with -t those of To, Cc and Bcc).
#pragma once

#include "sendmail/options.h"

#include <ctime>
#include <string>
#include <vector>

namespace sendmail {

// Who sends and when: the values the added headers are made of.
struct Identity {
    std::string sender;   // the envelope sender
    std::string hostName; // for Message-ID
    std::time_t now = 0;
    long uniquifier = 0; // tells apart the Message-IDs of one second (the process id)
};

struct Prepared {
    std::vector<std::string> lines; // without line ends and without dot-stuffing
    std::vector<std::string> recipients;
};

// Exit statuses as sendmail's callers read them (sysexits.h).
enum ExitStatus {
    kExitOk = 0,
    kExitUsage = 64,
    kExitBadMessage = 65,
    kExitNoRecipients = 67, // also a recipient the relay refused for good (EX_NOUSER)
    kExitUnavailable = 69,  // another refusal for good (EX_UNAVAILABLE)
    kExitInternal = 70,
    kExitTemporary = 75,
};

// Lines split at LF, a CR before it dropped; with `dotEndsInput` a line of a single dot
// ends the text (sendmail's rule without -i).
std::vector<std::string> SplitInput(const std::string& input, bool dotEndsInput);

// The addresses of an address-list header value: display names, comments and group names
// dropped, the part in angle brackets taken where there is one.
std::vector<std::string> AddressesIn(const std::string& value);

// The message ready to submit, or an exit status other than kExitOk with `error` saying why:
// an empty input or one holding a NUL byte (65), no recipient at all (67).
int PrepareMessage(std::string input, const Options& options, const Identity& identity,
                   Prepared& prepared, std::string& error);

} // namespace sendmail
