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

void TRelaySessions::SetMaxOpen(size_t maxOpen) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        maxOpen_ = maxOpen;
    }
    // A relay waiting at the old bound may open now.
    closed_.notify_all();
}

void TRelaySessions::Opening(const TSessionKey& key) {
    std::string upstream = UpstreamOf(key);
    std::unique_ptr<TSmtpSender> leaving;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (maxOpen_ > 0) {
            // At the bound with nothing kept to close, a session being closed elsewhere is
            // waited for (its QUIT takes a few seconds at most): its connection is still one
            // of the upstream's.
            closed_.wait(lock, [&] {
                return maxOpen_ == 0 || ConnectionsTo(upstream) < maxOpen_ ||
                       KeptFor(upstream) > 0 || closing_.count(upstream) == 0;
            });
            if (maxOpen_ > 0 && ConnectionsTo(upstream) >= maxOpen_) leaving = TakeIdleOf(upstream);
        }
        if (!leaving) {
            ++inUse_[upstream].all;
            NotePeak(upstream);
            return;
        }
        ++closing_[upstream];
    }
    // Closed before this session connects, and counted until then.
    leaving->QuitBriefly();
    leaving.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--closing_[upstream] == 0) closing_.erase(upstream);
        ++inUse_[upstream].all;
        NotePeak(upstream);
    }
    closed_.notify_all();
}

size_t TRelaySessions::ConnectionsTo(const std::string& upstream) const {
    auto inUse = inUse_.find(upstream);
    auto closing = closing_.find(upstream);
    return (inUse == inUse_.end() ? 0 : inUse->second.all) + KeptFor(upstream) +
           (closing == closing_.end() ? 0 : closing->second);
}

void TRelaySessions::NotePeak(const std::string& upstream) {
    size_t& peak = peak_[upstream];
    peak = std::max(peak, ConnectionsTo(upstream));
}

size_t TRelaySessions::PeakConnections(const std::string& upstream) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = peak_.find(upstream);
    return found == peak_.end() ? 0 : found->second;
}

TRelaySessions::Leaving TRelaySessions::TakeForClosing(Idle& idle) {
    std::string upstream = UpstreamOf(idle.key);
    ++closing_[upstream];
    return Leaving{std::move(upstream), std::move(idle.session)};
}

void TRelaySessions::CloseTaken(std::vector<Leaving> leaving) {
    for (Leaving& one : leaving) {
        one.session->QuitBriefly();
        one.session.reset();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Leaving& one : leaving)
            if (--closing_[one.upstream] == 0) closing_.erase(one.upstream);
    }
    closed_.notify_all();
}

void TRelaySessions::Established(const TSessionKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inUse_[UpstreamOf(key)].established;
}

void TRelaySessions::Ended(const TSessionKey& key, bool established) {
    std::lock_guard<std::mutex> lock(mutex_);
    EndedLocked(UpstreamOf(key), established);
}

void TRelaySessions::EndedLocked(const std::string& upstream, bool established) {
    auto found = inUse_.find(upstream);
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
    std::vector<Leaving> leaving;
    {
        // In use to kept in one step: between the two it would count as neither.
        std::lock_guard<std::mutex> lock(mutex_);
        EndedLocked(UpstreamOf(key), true);
        kept_.push_back(Idle{key, std::move(session), Clock::now()});
        if (kept_.size() > maxKept_) {
            leaving.push_back(TakeForClosing(kept_.front()));
            kept_.pop_front();
        }
    }
    if (!leaving.empty()) CloseTaken(std::move(leaving));
}

void TRelaySessions::CloseIdle(std::chrono::milliseconds idle) {
    std::vector<Leaving> leaving;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Clock::time_point limit = Clock::now() - idle;
        while (!kept_.empty() && kept_.front().idleSince <= limit) {
            leaving.push_back(TakeForClosing(kept_.front()));
            kept_.pop_front();
        }
    }
    if (!leaving.empty()) CloseTaken(std::move(leaving));
}

size_t TRelaySessions::Kept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
}

} // namespace smtpclient
