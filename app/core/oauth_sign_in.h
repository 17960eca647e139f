// Signing a mailbox in with its OAuth 2.0 provider from this machine: the authorization code
// flow with PKCE (S256, RFC 7636) and a checked `state`, its answer taken on a loopback
// address on a port the system picks at random (RFC 8252: http://127.0.0.1:PORT/). The user
// signs in in their browser; the refresh token the provider gives is kept in the token store.
#pragma once

#include "app/core/http_form.h"
#include "app/core/oauth_providers.h"
#include "app/core/oauth_token_store.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace app {

// How long a sign-in waits for the browser's answer.
inline constexpr std::chrono::minutes kSignInWait{5};

struct Pkce {
    std::string verifier;  // 43 characters of base64url: 32 random bytes
    std::string challenge; // base64url(SHA-256(verifier))
};
Pkce MakePkce();

// base64url without padding (RFC 4648 5), as PKCE and `state` use it.
std::string Base64Url(const std::string& bytes);
// `count` random bytes from the system's generator, base64url.
std::string RandomUrlSafe(size_t count);

// The provider's authorization address for this sign-in.
std::string AuthorizationAddress(const OAuthProvider& provider, const std::string& redirect,
                                 const std::string& state, const std::string& challenge,
                                 const std::string& loginHint);

// The parameters of a request target's query ("/?code=x&state=y"), percent-decoded.
std::map<std::string, std::string> QueryOf(const std::string& target);

struct SignInOutcome {
    bool ok = false;
    std::string reason; // why not; never holds a token or a code
    std::string where;  // the store that kept the sign-in
};

struct SignInOptions {
    std::chrono::milliseconds wait = kSignInWait;
    const std::atomic<bool>* cancel = nullptr; // set: the sign-in ends, unsigned
};

// The whole sign-in of `mailbox`: `show` gets the authorization address once the loopback
// address listens (to print it, to open a browser on it); the browser's answer is waited for
// (`options.wait`), its state checked, the code exchanged with the verifier, and the refresh
// token saved. The browser is shown a short page saying whether it may be closed.
SignInOutcome SignIn(const OAuthProvider& provider, const std::string& mailbox, TokenStore& store,
                     const FormPoster& post, const std::function<void(const std::string&)>& show,
                     const SignInOptions& options = {});

} // namespace app
