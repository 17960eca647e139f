#include "smtpclient/relay_sessions.h"

#include <algorithm>
#include <vector>

namespace smtpclient {

TSessionKey TSessionKey::Of(const TRelayOptions& options, const std::string& host,
                            const std::string& port, const std::string& userName,
                            const std::string& password) {
    TSessionKey key;
    key.host = host;
    key.port = port;
    key.autoTls = options.AutoTLS;
    key.fullSsl = options.FullSSL;
    key.credentialsOnlyEncrypted = options.CredentialsOnlyEncrypted;
    key.systemName = options.SystemName;
    key.verifyCert = options.VerifyCert;
    key.tlsMinimumVersion = options.TlsMinimumVersion;
    key.trustFile = options.TrustFile;
    key.userName = userName;
    key.password = password;
    if (options.Secret) {
        bool token = options.Secret.kind == TSecretSource::Kind::BearerToken;
        key.secret = (token ? "token:" : "password:") + options.Secret.id;
    }
    return key;
}

TRelaySessions::~TRelaySessions() {
    for (Idle& kept : kept_) {
        kept.session->Sock().SendText("QUIT\r\n");
        kept.session->Sock().AbortConnection();
    }
}

std::unique_ptr<TSmtpSender> TRelaySessions::Take(const TSessionKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
        if (!(it->key == key)) continue;
        std::unique_ptr<TSmtpSender> session = std::move(it->session);
        kept_.erase(std::next(it).base());
        InUse& inUse = inUse_[UpstreamOf(key)];
        ++inUse.all;
        ++inUse.established;
        return session;
    }
    return nullptr;
}

std::unique_ptr<TSmtpSender> TRelaySessions::TakeIdleOf(const std::string& upstream) {
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (UpstreamOf(it->key) != upstream) continue;
        std::unique_ptr<TSmtpSender> session = std::move(it->session);
        kept_.erase(it);
        return session;
    }
    return nullptr;
}

void TRelaySessions::Opening(const TSessionKey& key, size_t maxOpen) {
    std::string upstream = UpstreamOf(key);
    std::unique_ptr<TSmtpSender> leaving;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        InUse& inUse = inUse_[upstream];
        if (maxOpen > 0 && inUse.all + KeptFor(upstream) >= maxOpen) leaving = TakeIdleOf(upstream);
        ++inUse.all;
    }
    if (leaving) leaving->QuitBriefly();
}

void TRelaySessions::Established(const TSessionKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inUse_[UpstreamOf(key)].established;
}

void TRelaySessions::Ended(const TSessionKey& key, bool established) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = inUse_.find(UpstreamOf(key));
    if (found == inUse_.end()) return;
    InUse& inUse = found->second;
    if (inUse.all > 0) --inUse.all;
    if (established && inUse.established > 0) --inUse.established;
    if (inUse.all == 0) inUse_.erase(found);
}

size_t TRelaySessions::Open(const std::string& upstream) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = inUse_.find(upstream);
    return (found == inUse_.end() ? 0 : found->second.established) + KeptFor(upstream);
}

size_t TRelaySessions::KeptFor(const std::string& upstream) const {
    return static_cast<size_t>(std::count_if(kept_.begin(), kept_.end(), [&](const Idle& idle) {
        return UpstreamOf(idle.key) == upstream;
    }));
}

void TRelaySessions::Give(const TSessionKey& key, std::unique_ptr<TSmtpSender> session) {
    Ended(key, true);
    std::unique_ptr<TSmtpSender> leaving;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kept_.push_back(Idle{key, std::move(session), Clock::now()});
        if (kept_.size() > maxKept_) {
            leaving = std::move(kept_.front().session);
            kept_.pop_front();
        }
    }
    if (leaving) leaving->QuitBriefly();
}

void TRelaySessions::CloseIdle(std::chrono::milliseconds idle) {
    std::vector<std::unique_ptr<TSmtpSender>> leaving;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Clock::time_point limit = Clock::now() - idle;
        while (!kept_.empty() && kept_.front().idleSince <= limit) {
            leaving.push_back(std::move(kept_.front().session));
            kept_.pop_front();
        }
    }
    for (auto& session : leaving) session->QuitBriefly();
}

size_t TRelaySessions::Kept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
}

} // namespace smtpclient
