#include "app/core/oauth_tokens.h"

#include <nlohmann/json.hpp>

namespace app {

namespace {

std::string StringField(const nlohmann::json& object, const char* name) {
    auto found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// The provider's words for a refusal, without anything that could be a token.
std::string ErrorText(const nlohmann::json& answer) {
    std::string error = StringField(answer, "error");
    std::string description = StringField(answer, "error_description");
    if (description.size() > 300) description.resize(300);
    return description.empty() ? error : error + ": " + description;
}

} // namespace

TokenGrant AskTokenEndpoint(const OAuthProvider& provider, FormFields fields,
                            const FormPoster& post) {
    TokenGrant grant;
    fields.emplace_back("client_id", provider.clientId);
    if (!provider.clientSecret.empty()) fields.emplace_back("client_secret", provider.clientSecret);
    HttpReply reply = post(provider.tokenUrl, fields);
    if (!reply.transportError.empty()) {
        grant.reason = "the token endpoint of " + provider.name + " was not reached (" +
                       reply.transportError + ")";
        return grant; // a network or provider outage: for now
    }
    nlohmann::json answer = nlohmann::json::parse(reply.body, nullptr, false);
    if (!answer.is_object()) answer = nlohmann::json::object();
    if (reply.status == 200) {
        grant.accessToken = StringField(answer, "access_token");
        grant.refreshToken = StringField(answer, "refresh_token");
        auto expiresIn = answer.find("expires_in");
        if (expiresIn != answer.end() && expiresIn->is_number_integer())
            grant.lifetime =
                std::chrono::seconds(std::max<long long>(1, expiresIn->get<long long>()));
        grant.ok = !grant.accessToken.empty();
        if (!grant.ok)
            grant.reason = "the token endpoint of " + provider.name + " answered without a token";
        return grant;
    }
    std::string error = StringField(answer, "error");
    grant.reason = "the token endpoint of " + provider.name + " refused (HTTP " +
                   std::to_string(reply.status) +
                   (error.empty() ? std::string() : ", " + ErrorText(answer)) + ")";
    // RFC 6749 5.2: a refused grant or client is a fact until the user acts; a server error
    // or a rate limit passes.
    grant.forGood =
        reply.status >= 400 && reply.status < 500 && reply.status != 429 && reply.status != 408;
    return grant;
}

OAuthTokens::OAuthTokens(std::string mailbox, OAuthProvider provider,
                         std::shared_ptr<TokenStore> store, FormPoster post, SteadyClock now)
    : mailbox_(std::move(mailbox)), provider_(std::move(provider)), store_(std::move(store)),
      post_(std::move(post)), now_(std::move(now)) {}

bool OAuthTokens::NeedsRefresh(std::chrono::steady_clock::time_point now) const {
    if (access_.empty()) return true;
    auto ahead =
        std::min<std::chrono::steady_clock::duration>(kRefreshAhead, (expires_ - issued_) / 10);
    return expires_ - now < ahead;
}

bool OAuthTokens::Fetch(smtpclient::TSecretFetch& fetched) {
    std::lock_guard lock(mutex_);
    if (!NeedsRefresh(now_()) || Refresh(fetched)) {
        fetched.secret = access_;
        return true;
    }
    return false;
}

bool OAuthTokens::Refresh(smtpclient::TSecretFetch& fetched) {
    access_.clear();
    std::string problem = ProviderProblem(provider_);
    if (!problem.empty()) {
        fetched.reason = problem;
        fetched.forGood = true;
        return false;
    }
    std::string reason;
    std::optional<std::string> refresh = store_->Load(mailbox_, reason);
    if (!refresh) {
        // A keyring that cannot be read now may be unlocked later; one without the sign-in
        // needs the user.
        bool none = reason.rfind("no sign-in", 0) == 0;
        fetched.reason = reason + (none ? ": sign in again (vantrosmtp --sign-in " + mailbox_ + ")"
                                        : std::string());
        fetched.forGood = none;
        return false;
    }
    ++refreshes_;
    auto asked = now_();
    TokenGrant grant = AskTokenEndpoint(
        provider_, {{"grant_type", "refresh_token"}, {"refresh_token", *refresh}}, post_);
    if (!grant.ok) {
        fetched.reason = "no access token for " + mailbox_ + ": " + grant.reason +
                         (grant.forGood ? "; sign in again" : "");
        fetched.forGood = grant.forGood;
        return false;
    }
    // A provider that rotates refresh tokens has just made the old one useless.
    if (!grant.refreshToken.empty() && grant.refreshToken != *refresh &&
        !store_->Save(mailbox_, grant.refreshToken, reason)) {
        fetched.reason = "the new sign-in of " + mailbox_ + " could not be kept: " + reason;
        return false;
    }
    access_ = grant.accessToken;
    issued_ = asked;
    expires_ = asked + grant.lifetime;
    return true;
}

bool OAuthTokens::Refused(const std::string& token) {
    std::lock_guard lock(mutex_);
    if (token == access_) access_.clear();
    return true;
}

int OAuthTokens::Refreshes() const {
    std::lock_guard lock(mutex_);
    return refreshes_;
}

smtpclient::TSecretSource OAuthTokens::Source(const std::shared_ptr<OAuthTokens>& self) const {
    smtpclient::TSecretSource source;
    source.kind = smtpclient::TSecretSource::Kind::BearerToken;
    source.id = "oauth2:" + provider_.name + ":" + mailbox_;
    source.fetch = [self](smtpclient::TSecretFetch& fetched) { return self->Fetch(fetched); };
    source.refused = [self](const std::string& token) { return self->Refused(token); };
    return source;
}

} // namespace app
