// The access tokens of one mailbox that signs in with OAuth 2.0: kept in memory only, got
// from the provider's token endpoint with the stored refresh token, and refreshed before
// they expire, once for all the sessions that need one (the others wait for it). Also the
// token endpoint's answer to a sign-in's authorization code.
#pragma once

#include "app/core/http_form.h"
#include "app/core/oauth_providers.h"
#include "app/core/oauth_token_store.h"
#include "smtpclient/smtpsender.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace app {

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

// A refresh comes when less than this remains, or a tenth of the token's lifetime if that
// is less: servers refuse a token about to expire.
inline constexpr std::chrono::minutes kRefreshAhead{5};

// What a token endpoint answered: the tokens, or why none came and whether for good.
struct TokenGrant {
    bool ok = false;
    std::string accessToken;
    std::string refreshToken; // empty when the provider kept the old one
    std::chrono::seconds lifetime{3600};
    std::string reason;   // never holds a token
    bool forGood = false; // invalid_grant and the like: only a new sign-in helps
};

// POSTs `fields` (with the client's id and secret) to the provider's token endpoint and reads
// its JSON answer (RFC 6749 5.1 and 5.2).
TokenGrant AskTokenEndpoint(const OAuthProvider& provider, FormFields fields,
                            const FormPoster& post);

class OAuthTokens {
  public:
    OAuthTokens(std::string mailbox, OAuthProvider provider, std::shared_ptr<TokenStore> store,
                FormPoster post, SteadyClock now);

    // A current access token, refreshed first when it is missing or about to expire.
    bool Fetch(smtpclient::TSecretFetch& fetched);
    // The server refused `token`: dropped if it is the current one. True: a fresh one can be
    // fetched (it was the current one, or another session already replaced it).
    bool Refused(const std::string& token);
    // The source a session authenticates with (BearerToken, its id naming the mailbox).
    smtpclient::TSecretSource Source(const std::shared_ptr<OAuthTokens>& self) const;

    int Refreshes() const;
    const std::string& Mailbox() const { return mailbox_; }
    const OAuthProvider& Provider() const { return provider_; }
    const std::shared_ptr<TokenStore>& Store() const { return store_; }

  private:
    bool NeedsRefresh(std::chrono::steady_clock::time_point now) const;
    bool Refresh(smtpclient::TSecretFetch& fetched);

    const std::string mailbox_;
    const OAuthProvider provider_;
    const std::shared_ptr<TokenStore> store_;
    const FormPoster post_;
    const SteadyClock now_;
    mutable std::mutex mutex_; // held over a refresh: the other sessions wait for its token
    std::string access_;
    std::chrono::steady_clock::time_point issued_, expires_;
    int refreshes_ = 0;
};

} // namespace app
