// Secrets that commands provide instead of the settings and account files: the sections
// [secretcommand] (a command printing the password, as a desktop keyring lookup does) and
// [tokencommand] (a command printing an OAuth 2.0 access token) of the settings file, each
// mapping an account's sender mailbox to a command line. The Windows build ignores both.
#pragma once

#include "smtpclient/smtpsender.h"

#include <chrono>
#include <map>
#include <string>

namespace app {

// How long a command may take before the delivery fails; a keyring that waits for a
// password prompt nobody sees must not hold a worker for ever.
inline constexpr std::chrono::seconds kCredentialCommandBound{10};

struct CredentialCommand {
    enum class Kind { None, Password, Token };
    Kind kind = Kind::None;
    std::string command;
    bool operator==(const CredentialCommand&) const = default;
};

class CredentialCommands {
  public:
    // Reads both sections of the settings file; a missing file or section maps nothing.
    static CredentialCommands Read(const std::string& settingsPath);
    void SetPassword(const std::string& mailbox, const std::string& command);
    void SetToken(const std::string& mailbox, const std::string& command);
    // The command for an account's mailbox (ASCII case ignored). A token command wins over
    // a password command for the same mailbox: it is the more specific wish.
    CredentialCommand For(const std::string& mailbox) const;

  private:
    std::map<std::string, std::string> passwordCommands_, tokenCommands_; // by lower-case mailbox
};

// What the client fetches the secret from: `command.command` run with the bound, its first
// line of output taken. A command that fails, runs out of time or prints nothing fails with a
// reason naming the mailbox's command, its ending and the first line of its standard error;
// never its output. None: an empty source (the stored password is used).
smtpclient::TSecretSource
SecretSourceFor(const CredentialCommand& command, const std::string& mailbox,
                std::chrono::milliseconds bound = kCredentialCommandBound);

} // namespace app
