// An upstream account (the one in force is kept in the settings file), the settings file,
// and the account list's line format with its add, switch and select rules.
#pragma once

#include "app/core/string_list.h"

#include <string>

namespace app {

struct Account {
    std::string mailbox;       // the envelope sender used upstream
    std::string usedBy;        // the sender this account serves (empty or "any": every sender)
    std::string host;          // SMTP host
    std::string user;          // user name for AUTH
    std::string password;      // password for AUTH
    std::string port;          // port, as text
    bool authenticate = false; // the authentication box (the credentials go out whatever it says)
    bool implicitTls = false;  // TLS from the first byte (SSL)
    bool startTls = false;     // STARTTLS when offered
    bool operator==(const Account&) const = default;
};

// Defaults of the settings file: a mailbox at a public provider of our own choosing.
inline constexpr const char* kDefaultMailbox = "vantro.relay@mail.example.com";
inline constexpr const char* kDefaultSmtpHost = "smtp.mail.example.com";

// What the relay may trust, kept in the settings file after the nine keys of the account
// (the Windows build ignores keys it does not know).
struct RelayPolicy {
    // "verifycert": an upstream's certificate must chain to a trusted authority and name its
    // host. Off only for servers with a self-signed certificate.
    bool verifyCert = true;
    // "remoteclients": other machines may relay through the user's account. Off, a session
    // from an address not of this machine is refused at HELO.
    bool remoteClients = false;
    // "tlsmin": the lowest TLS version an upstream may use, "1.2" (forward-secret suites
    // only) or "1.0" for a legacy server the user must reach (weaker: old ciphers too).
    std::string tlsMinimum = "1.2";
    // "retry": a temporary failure (a 4xx, a network failure) is tried again later instead
    // of failing at once; 0 gives the Windows build's single attempt.
    bool retry = true;
    // "maxlifetime", hours: how long a message may wait for its retries before it fails.
    int maxLifetimeHours = 120;
    // "maxsessions": sessions open at once to one upstream host and port, kept ones included.
    int maxSessions = 10;
    // "notify": a message that fails for good is told by a desktop notification from the
    // tray as well as by its failure line; 0 keeps it to the line.
    bool notify = true;
    bool operator==(const RelayPolicy&) const = default;
};

// The protocol number of a "tlsmin" value: TLS 1.0 for "1.0", 1.1 for "1.1", 1.3 for "1.3",
// else TLS 1.2 (a value we cannot read never weakens the default).
int TlsVersionNumber(const std::string& tlsMinimum);

// Reads the nine settings of section "smtpconfig" (defaults for missing keys; a check box is
// ticked when the value's low 8 bits are not all 0).
Account ReadSettings(const std::string& path);
RelayPolicy ReadPolicy(const std::string& path);
// Writes the nine settings in their order, then the policy's keys, in one replace of the
// file; the file is owner-only after every write (it holds the upstream password).
bool WriteSettings(const std::string& path, const Account& account,
                   const RelayPolicy& policy = RelayPolicy());

// Nine fields joined by "|": the line "add" appends.
std::string AccountLine(const Account& account);
// Puts a line's fields into the account (fields 1..8 cut at "|", the rest cut to 255
// characters, field 9 whatever remains; "any" empties the used-by field).
void ReadAccountLine(const std::string& line, Account& account);

// Switch: the line at `position` (wrapping to 0) into force; returns false for an empty list.
bool SwitchAccount(const StringList& accounts, size_t& position, Account& account);
// Select for a sender: the last line holding "|" + sender, else the last holding "|" + its
// filtered form (FilteredSender, for lines written when the server reduced senders to it),
// else the last holding "|any"; none: nothing changes. Empty list: returns false and
// `currentSender` stays.
// What the inbound server once made of a sender: only letters, digits, "-", ".", "@", "_".
std::string FilteredSender(const std::string& sender);
bool SelectAccount(const StringList& accounts, const std::string& sender,
                   std::string& currentSender, Account& account);

} // namespace app
