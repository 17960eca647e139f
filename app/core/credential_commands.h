// Secrets that commands provide instead of the settings and account files: the sections
// [secretcommand] (a command printing the password, as a desktop keyring lookup does) and
// [tokencommand] (a command printing an OAuth 2.0 access token) of the settings file, each
// mapping an account's sender mailbox to a command line; and [oauth2], mapping a mailbox to
// the OAuth 2.0 provider it signed in with (its tokens then come from the program itself).
// The Windows build ignores all three.
#pragma once

#include "app/core/oauth_tokens.h"
#include "smtpclient/smtpsender.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace app {

// How long a command may take before the delivery fails; a keyring that waits for a
// password prompt nobody sees must not hold a worker for ever.
inline constexpr std::chrono::seconds kCredentialCommandBound{10};

struct CredentialCommand {
    enum class Kind { None, Password, Token, OAuth };
    Kind kind = Kind::None;
    std::string command;
    std::shared_ptr<OAuthTokens> oauth; // OAuth: the mailbox's tokens, shared by its sessions
    bool operator==(const CredentialCommand&) const = default;
};

class CredentialCommands {
  public:
    // Reads the three sections of the settings file; a missing file or section maps nothing.
    // OAuth sign-ins are kept in the user's token store beside the settings file.
    static CredentialCommands Read(const std::string& settingsPath);
    void SetPassword(const std::string& mailbox, const std::string& command);
    void SetToken(const std::string& mailbox, const std::string& command);
    void SetOAuth(const std::string& mailbox, std::shared_ptr<OAuthTokens> tokens);
    // The command for an account's mailbox (ASCII case ignored). A token command wins over a
    // sign-in, and both over a password command for the same mailbox: the more specific
    // wish wins.
    CredentialCommand For(const std::string& mailbox) const;

  private:
    std::map<std::string, std::string> passwordCommands_, tokenCommands_; // by lower-case mailbox
    std::map<std::string, std::shared_ptr<OAuthTokens>> oauth_;           // by lower-case mailbox
};

// What the client fetches the secret from: `command.command` run with the bound, its first
// line of output taken. A command that fails, runs out of time or prints nothing fails with a
// reason naming the mailbox's command, its ending and the first line of its standard error;
// never its output. None: an empty source (the stored password is used).
smtpclient::TSecretSource
SecretSourceFor(const CredentialCommand& command, const std::string& mailbox,
                std::chrono::milliseconds bound = kCredentialCommandBound);

} // namespace app
