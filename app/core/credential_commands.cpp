#include "app/core/credential_commands.h"

#include "platform/ini_profile.h"
#include "platform/run_command.h"
#include "platform/text.h"

namespace app {

CredentialCommands CredentialCommands::Read(const std::string& settingsPath) {
    CredentialCommands commands;
    for (const auto& [mailbox, command] :
         platform::IniProfile(settingsPath, "secretcommand").ReadSection())
        commands.SetPassword(mailbox, command);
    for (const auto& [mailbox, command] :
         platform::IniProfile(settingsPath, "tokencommand").ReadSection())
        commands.SetToken(mailbox, command);
    OAuthSettings oauth = ReadOAuthSettings(settingsPath);
    if (oauth.mailboxes.empty()) return commands;
    std::string folder = settingsPath.substr(0, settingsPath.rfind('/') + 1);
    std::shared_ptr<TokenStore> store = UsersTokenStore(folder);
    for (const auto& [mailbox, name] : oauth.mailboxes) {
        const OAuthProvider* provider = oauth.ProviderOf(mailbox);
        if (!provider) continue;
        commands.SetOAuth(
            mailbox, std::make_shared<OAuthTokens>(mailbox, *provider, store, LibcurlPoster(), [] {
                return std::chrono::steady_clock::now();
            }));
    }
    return commands;
}

void CredentialCommands::SetPassword(const std::string& mailbox, const std::string& command) {
    if (!command.empty()) passwordCommands_[platform::AsciiLower(mailbox)] = command;
}

void CredentialCommands::SetToken(const std::string& mailbox, const std::string& command) {
    if (!command.empty()) tokenCommands_[platform::AsciiLower(mailbox)] = command;
}

void CredentialCommands::SetOAuth(const std::string& mailbox, std::shared_ptr<OAuthTokens> tokens) {
    if (tokens) oauth_[platform::AsciiLower(mailbox)] = std::move(tokens);
}

CredentialCommand CredentialCommands::For(const std::string& mailbox) const {
    if (tokenCommands_.empty() && passwordCommands_.empty() && oauth_.empty()) return {};
    std::string key = platform::AsciiLower(platform::TrimBlanks(mailbox));
    if (auto token = tokenCommands_.find(key); token != tokenCommands_.end())
        return {CredentialCommand::Kind::Token, token->second, nullptr};
    if (auto signedIn = oauth_.find(key); signedIn != oauth_.end())
        return {CredentialCommand::Kind::OAuth, "", signedIn->second};
    if (auto password = passwordCommands_.find(key); password != passwordCommands_.end())
        return {CredentialCommand::Kind::Password, password->second, nullptr};
    return {};
}

namespace {

// Why a command gave no secret, in the words the failure list's tooltip and the journal
// show. Its output is never part of it: that is the secret, or a part of it.
std::string FetchFailure(const char* what, const std::string& mailbox,
                         const platform::CommandResult& result, bool printedNothing) {
    std::string reason =
        std::string(what) + " command of " + mailbox + " " +
        (printedNothing ? "printed nothing on its first line (" + result.Ending() + ")"
                        : "failed: " + result.Ending());
    std::string firstError = platform::FirstLine(result.errorOutput);
    if (!firstError.empty()) reason += "; standard error: " + firstError;
    return reason;
}

} // namespace

smtpclient::TSecretSource SecretSourceFor(const CredentialCommand& command,
                                          const std::string& mailbox,
                                          std::chrono::milliseconds bound) {
    smtpclient::TSecretSource source;
    if (command.kind == CredentialCommand::Kind::None) return source;
    if (command.kind == CredentialCommand::Kind::OAuth)
        return command.oauth ? command.oauth->Source(command.oauth) : source;
    bool token = command.kind == CredentialCommand::Kind::Token;
    source.kind = token ? smtpclient::TSecretSource::Kind::BearerToken
                        : smtpclient::TSecretSource::Kind::Password;
    source.id = command.command;
    const char* what = token ? "token" : "password";
    source.fetch = [command = command.command, mailbox, what,
                    bound](smtpclient::TSecretFetch& fetched) {
        platform::CommandResult result = platform::RunCommand(command, bound);
        fetched.secret = platform::FirstLine(result.output);
        if (result.Succeeded() && !fetched.secret.empty()) return true;
        fetched.reason = FetchFailure(what, mailbox, result, result.Succeeded());
        fetched.secret.clear();
        return false;
    };
    return source;
}

} // namespace app
