// OAuth 2.0 providers an account can sign in with, and which accounts do: the built-in
// `google` and `microsoft`, and any other a section [provider NAME] of the settings file
// describes (authurl, tokenurl, clientid, clientsecret, scope; a built-in one may be given
// the user's own clientid/clientsecret there); the section [oauth2] maps an account's
// sender mailbox to its provider's name.
#pragma once

#include <map>
#include <string>

namespace app {

struct OAuthProvider {
    std::string name;
    std::string authUrl;
    std::string tokenUrl;
    std::string clientId; // empty: not registered yet (a built-in one without the user's own)
    std::string clientSecret;
    std::string scope;
    // Parameters the provider wants on its authorization address besides the standard ones
    // ("access_type=offline&prompt=consent": Google gives a refresh token only then).
    std::string extraAuthParameters;
    bool operator==(const OAuthProvider&) const = default;
};

// Why an endpoint cannot be used, or empty: it must be https, or http to a loopback address
// (a local provider, the tests). A token sent in clear over a network is a stolen account.
std::string EndpointProblem(const std::string& url);

// Why a provider cannot be signed in with (no client id, an endpoint refused), or empty.
std::string ProviderProblem(const OAuthProvider& provider);

struct OAuthSettings {
    std::map<std::string, OAuthProvider> providers; // by lower-case name
    std::map<std::string, std::string> mailboxes;   // lower-case mailbox -> provider name
    // The provider of an account's mailbox (ASCII case ignored), or null.
    const OAuthProvider* ProviderOf(const std::string& mailbox) const;
};

// The built-in providers, then the settings file's sections over them; a missing file or
// section adds nothing.
OAuthSettings ReadOAuthSettings(const std::string& settingsPath);

} // namespace app
