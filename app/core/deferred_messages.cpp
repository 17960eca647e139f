#include "app/core/deferred_messages.h"

#include <algorithm>

namespace app {

namespace {

long long PiecesSize(const StringList& pieces) {
    long long size = 0;
    for (const std::string& piece : pieces) size += static_cast<long long>(piece.size());
    return size;
}

} // namespace

QueuedMessage QueuedFromSpool(const store::Spool* spool, const std::string& spoolId) {
    QueuedMessage message;
    message.spoolId = spoolId;
    message.size = -1;
    if (!spool || spoolId.empty()) return message;
    if (auto envelope = spool->EnvelopeOf(spoolId)) {
        message.sender = envelope->sender;
        message.recipientText = envelope->recipientText;
        message.size = envelope->size;
        message.received = envelope->received;
    }
    return message;
}

bool DeferredMessages::DeferIfTemporary(DeliveryOutcome& outcome, const Request& request,
                                        const RelayPolicy& policy, std::time_t now) {
    if (!outcome.temporary || !policy.retry) return false;
    store::WallClock::time_point wallNow = clock_();
    // A session refused while others to its upstream were open (as its worker found it) is
    // the upstream's cap: no attempt counted, back within seconds.
    store::RetryState next = store::AfterTemporaryFailure(request->retry, wallNow, outcome.reason,
                                                          outcome.sessionRefused, jitter_());
    if (store::LifetimeEnded(next, wallNow, std::chrono::hours(policy.maxLifetimeHours))) {
        // Failed as a permanent failure would, with its last reason and how long it tried.
        outcome.reason += "; given up after " + std::to_string(next.attempts) +
                          " attempts: its lifetime of " + std::to_string(policy.maxLifetimeHours) +
                          " hours has ended";
        return false;
    }
    request->retry = next;
    outcome.deferred = true;
    outcome.retry = next;
    if (spool_ && !request->spoolId.empty()) spool_->KeepForRetry(request->spoolId, next);
    waiting_[request->messageId] = request;
    journal_(JournalLine(outcome, now));
    ArmCheck();
    return true;
}

void DeferredMessages::Wait(Request request) {
    uint64_t id = request->messageId;
    waiting_[id] = std::move(request);
    ArmCheck();
}

std::vector<DeferredMessages::Request> DeferredMessages::TakeDue() {
    store::WallClock::time_point now = clock_();
    std::vector<Request> due;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (!store::RetryDue(it->second->retry, now)) {
            ++it;
            continue;
        }
        due.push_back(std::move(it->second));
        it = waiting_.erase(it);
    }
    ArmCheck();
    return due;
}

DeferredMessages::Request DeferredMessages::Take(uint64_t messageId) {
    auto found = waiting_.find(messageId);
    if (found == waiting_.end()) return nullptr;
    Request request = std::move(found->second);
    waiting_.erase(found);
    return request;
}

bool DeferredMessages::Delete(uint64_t messageId) {
    Request request = Take(messageId);
    if (!request) return false;
    if (spool_ && !request->spoolId.empty()) spool_->Delete(request->spoolId);
    return true;
}

std::vector<QueuedMessage> DeferredMessages::Queue() const {
    std::vector<QueuedMessage> queue;
    for (const auto& [id, request] : waiting_) {
        QueuedMessage message = QueuedFromSpool(spool_.get(), request->spoolId);
        message.id = id;
        message.received = request->received;
        message.sender = request->sender;
        message.recipientText = request->recipientText;
        if (request->textPath.empty()) message.size = PiecesSize(request->pieces);
        message.attempts = request->retry.attempts;
        message.next = request->retry.next;
        message.lastReason = request->retry.lastReason;
        queue.push_back(std::move(message));
    }
    std::stable_sort(
        queue.begin(), queue.end(),
        [](const QueuedMessage& a, const QueuedMessage& b) { return a.next < b.next; });
    return queue;
}

bool DeferredMessages::HandleMessage(const platform::Message& message) {
    if (message.msg != platform::kWmTimer || message.wParam != kRetryTimerId) return false;
    platform::MessageLoop::Current().KillTimer(window_, kRetryTimerId);
    timerSet_ = false;
    if (due) due();
    ArmCheck();
    return true;
}

void DeferredMessages::ArmCheck() {
    if (timerSet_ || waiting_.empty()) return;
    auto interval = static_cast<uint32_t>(std::max<long>(1, retryCheck_.count()));
    timerSet_ = platform::MessageLoop::Current().SetTimer(window_, kRetryTimerId, interval);
}

} // namespace app
