// Where a mailbox's OAuth 2.0 refresh token is kept: the desktop keyring (Secret Service,
// through libsecret; attributes program=vantrosmtp and mailbox=<mailbox>), or, where no
// Secret Service answers (a headless service), a file of the user's, 0600, in the files
// folder. Access tokens are never stored. Nothing here writes a token anywhere else.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace app {

class TokenStore {
  public:
    virtual ~TokenStore() = default;
    // The stored refresh token, or nullopt with `reason` (none stored, store unreadable).
    virtual std::optional<std::string> Load(const std::string& mailbox, std::string& reason) = 0;
    virtual bool Save(const std::string& mailbox, const std::string& refreshToken,
                      std::string& reason) = 0;
    // Where tokens go, for the user: "the desktop keyring" or the file's path.
    virtual std::string Where() const = 0;
};

// The file store: "oauth2-tokens" in `folder`, one "mailbox=token" line each, rewritten
// whole and atomically, 0600.
std::unique_ptr<TokenStore> FileTokenStore(const std::string& folder);

// The keyring when a Secret Service answers now, else the file store (standard error says
// so once per process).
std::shared_ptr<TokenStore> UsersTokenStore(const std::string& folder);

// True when a Secret Service answers on the session bus.
bool SecretServiceAnswers();

// The keyring store alone (for tests that start a Secret Service of their own).
std::unique_ptr<TokenStore> KeyringTokenStore();

} // namespace app
