// The message a sendmail caller writes to standard input, made ready for SMTP: its lines,
// the headers an MTA is expected to add when they are missing, Bcc removed, and the
// recipients (the arguments, and with -t those of To, Cc and Bcc).
#pragma once

#include "sendmail/input_text.h"
#include "sendmail/options.h"
#include "smtpclient/smtpsender.h"

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

// The message as it goes out: its header block as kept and completed, then the caller's
// text from the body on, read from the input where it lies. Not copied or moved: `body`
// reads `input`.
struct Prepared {
    Prepared() = default;
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;

    std::vector<std::string> headerLines; // the separator from the body included
    InputText input;
    InputLines body{input, false};
    std::vector<std::string> recipients;
};

// A prepared message's lines, without line ends and without dot-stuffing, for the SMTP
// client and the spool; it may be read again from its start.
class PreparedLines : public smtpclient::TLineSource {
  public:
    explicit PreparedLines(const Prepared& message);
    long long Size() const override { return size_; }
    bool Next(std::string& line) override;
    bool Rewind() override;

  private:
    const Prepared& message_;
    size_t nextHeader_ = 0;
    InputLines body_;
    long long size_ = 0;
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

// The addresses of an address-list header value: display names, comments and group names
// dropped, the part in angle brackets taken where there is one.
std::vector<std::string> AddressesIn(const std::string& value);

// The message ready to submit, or an exit status other than kExitOk with `error` saying why:
// an empty input or one holding a NUL byte (65), no recipient at all (67). Its lines end at
// LF, a CR before it dropped; without -i a line of a single dot ends the text.
int PrepareMessage(InputText input, const Options& options, const Identity& identity,
                   Prepared& prepared, std::string& error);

} // namespace sendmail
