// One delivery: what a worker is handed (copies, so nothing it reads can change under it),
// the send itself, and the log line recorded when the outcome comes back.
#pragma once

#include "app/core/accounts.h"
#include "app/core/credential_commands.h"
#include "app/core/slot_ring.h"
#include "smtpclient/smtpsender.h"
#include "store/retry_schedule.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace smtpclient {
class TRelaySessions;
} // namespace smtpclient

namespace app {

// How a relay is made, apart from the account and the message.
struct RelaySettings {
    std::string systemName; // the EHLO/HELO name ("signon")
    int timeoutMs = 30000;  // per reply line
    bool verifyCert = true; // the upstream's certificate is checked
    // Set: the relay can be stopped through it (an exit); it outlives the relay.
    std::shared_ptr<smtpclient::TRelayControl> control;
    // Set: upstream sessions are kept there between messages.
    std::shared_ptr<smtpclient::TRelaySessions> sessions;
    // The command that provides the account's password or token, if one does.
    CredentialCommand credential;
    int tlsMinimumVersion = 0x0303; // the lowest TLS version agreed to (TLS 1.2)
    uint16_t ownPort = 0;           // the port this relay listens on (0: unknown), never relayed to
};

struct DeliveryRequest {
    std::string sender;        // as the local client submitted it
    std::string recipientText; // comma-joined
    StringList pieces;         // the message text; cut into lines while it is sent
    std::string textPath;      // or, when set, the spool file the text is read from
    Account account;           // the account selected at its MAIL (or in force at a resend)
    std::string listedSender;  // the sender that selection named, for its record
    RelaySettings settings;
    std::string spoolId; // its file in the spool (empty without one)
    uint64_t serial = 0; // the relay core's number for this attempt
    // The relay core's number for the message, the same over all its attempts.
    uint64_t messageId = 0;
    std::string upstream;                  // UpstreamOf(account)
    store::RetryState retry;               // its retries so far (none for a first attempt)
    store::WallClock::time_point received; // when it was accepted (or found in the spool)
};

struct DeliveryOutcome {
    std::string sender;
    std::string recipientText;
    bool relayed = false;
    bool failedWithError = false; // an exception, not a refusal: status text only
    std::string reason;           // why it failed; empty when relayed
    // What became of each recipient (empty for an error or a stop before the relay began):
    // some may have it while others were refused or deferred.
    std::vector<smtpclient::TRecipientOutcome> recipients;
    // A later try may pass (a 4xx, a network failure); a new session was refused.
    bool temporary = false;
    bool sessionRefused = false;
    // Failed because the account's OAuth 2.0 sign-in must be made again.
    bool signInNeeded = false;
    // The message's Subject, for a failure the user is told of (empty when relayed).
    std::string subject;
    // Deferred for a retry instead of listed: its next attempt is `retry.next`.
    bool deferred = false;
    store::RetryState retry;
    std::string mailbox; // the account's mailbox it went out as
    long long size = 0;  // the message's bytes as sent (CR LF line ends)
    long long durationMs = 0;
    bool stopped = false; // stopped by an exit before its end of text: still spooled
    std::string spoolId;
    uint64_t serial = 0;
    uint64_t messageId = 0;
    std::string upstream;
    std::string listedSender; // the selected sender its record names
    std::string logLine;      // its line in the success or failure list, set by the relay core
    uint64_t recordId = 0;    // that line's record (0: none, an error or a stopped delivery)
};

// The account's server as the client's host[:port] text wants it (an IPv6 literal in
// brackets, so that its colons are not read as the port separator).
std::string HostAndPortOf(const Account& account);

// The part of the recipient text before its first "@", or empty.
std::string SignOnName(const std::string& recipientText);
// A completed message's request through `account`; its settings are the caller's to give
// (RelayCore::SettingsFor).
DeliveryRequest MakeRequest(CompletedMessage&& message, const Account& account);

// The one place that turns an account into the SMTP client's call: the workers and the test
// send both relay through it. Blocks for the whole exchange; `report` gets what became of
// each recipient and why not all got it. True when every recipient got it.
bool RelayThrough(const Account& account, const RelaySettings& settings,
                  const std::string& recipientText, smtpclient::TLineSource& lines,
                  smtpclient::TRelayReport& report);

// One relay of `lines` to outcome.recipientText, recorded in `outcome`: the account's
// mailbox, the size, whether it was relayed, why not and whether a later try may pass, and
// how long it took. Throws what the
// relay throws. The workers and the test send both record their relays through it.
void RelayAndRecord(const Account& account, const RelaySettings& settings,
                    smtpclient::TLineSource& lines, DeliveryOutcome& outcome);

// Runs on a worker: one relay of the request's message through its account. The request
// stays as it was, for another attempt.
DeliveryOutcome Deliver(const DeliveryRequest& request);

// One line for standard error (the journal under a service manager), UTF-8: time, outcome,
// account mailbox, submitted sender, recipients, size, duration and, on failure, reason; a
// deferred one says "deferred" with its attempt count and its next attempt's time.
std::string JournalLine(const DeliveryOutcome& outcome, std::time_t when,
                        const char* kind = "delivery");

inline constexpr const char* kRelayedPrefix =
    "\xD3\xCA\xBC\xFE\xD7\xAA\xB7\xA2\xB3\xC9\xB9\xA6\xA3\xA1\xBE\xAD"; // 邮件转发成功！经
inline constexpr const char* kFailedPrefix =
    "\xD3\xCA\xBC\xFE\xD7\xAA\xB7\xA2\xCA\xA7\xB0\xDC\xA3\xA1\xBE\xAD"; // 邮件转发失败！经

// "<outcome><mailbox>/From:<sender>/To:<recipients>/Time:<yyyy-M-d H:mm:ss>" (GBK).
std::string LogLine(bool relayed, const std::string& mailbox, const std::string& currentSender,
                    const std::string& recipientText, std::time_t when);

} // namespace app
