// The relay core's store and forward: deliveries go to an upstream as its sessions allow, and
// a message that failed for now waits in the spool with its schedule and goes again by itself.
#include "app/core/relay_core.h"

#include <algorithm>
#include <sys/stat.h>

namespace app {

namespace {

long long PiecesSize(const StringList& pieces) {
    long long size = 0;
    for (const std::string& piece : pieces) size += static_cast<long long>(piece.size());
    return size;
}

} // namespace

bool RelayCore::DeferIfTemporary(DeliveryOutcome& outcome, const Request& request,
                                 std::time_t now) {
    if (!outcome.temporary || !policy_.retry) return false;
    store::WallClock::time_point wallNow = Now();
    // A session refused while others to its upstream were open (as its worker found it) is
    // the upstream's cap: no attempt counted, back within seconds.
    store::RetryState next = store::AfterTemporaryFailure(
        request->retry, wallNow, outcome.reason, outcome.sessionRefused, options_.jitter());
    if (store::LifetimeEnded(next, wallNow, std::chrono::hours(policy_.maxLifetimeHours))) {
        // Failed as a permanent failure would, with its last reason and how long it tried.
        outcome.reason += "; given up after " + std::to_string(next.attempts) +
                          " attempts: its lifetime of " + std::to_string(policy_.maxLifetimeHours) +
                          " hours has ended";
        return false;
    }
    request->retry = next;
    outcome.deferred = true;
    outcome.retry = next;
    if (spool_ && !request->spoolId.empty()) spool_->KeepForRetry(request->spoolId, next);
    deferred_[request->messageId] = request;
    options_.journal(JournalLine(outcome, now));
    ArmRetryCheck();
    return true;
}

void RelayCore::ResumeDeferred(const store::Envelope& envelope, const store::Spool::Entry& entry) {
    CompletedMessage message;
    message.sender = envelope.sender;
    message.recipientText = envelope.recipientText;
    message.bound = SelectAccountFor(message.sender);
    Request request = Prepare(std::move(message), entry.id);
    if (envelope.received != store::WallClock::time_point{}) request->received = envelope.received;
    if (entry.retryUnreadable) {
        // Cut off or garbled (a crash, a full disk, a hand's edit): the message is not lost
        // for it. It goes now, its schedule taken from when it was accepted, and its record
        // is written anew.
        request->retry = store::ScheduleWithoutRecord(
            request->received, Now(), "its retry record could not be read; tried again at once");
        spool_->KeepForRetry(entry.id, request->retry);
    }
    if (entry.retry) request->retry = *entry.retry;
    if (entry.retry && !store::RetryDue(*entry.retry, Now())) {
        deferred_[request->messageId] = request;
        ArmRetryCheck();
        return;
    }
    Submit(request);
}

void RelayCore::Rebind(const Request& request) {
    // Selected for its own sender as at a MAIL, from the list and the account in force as
    // they are now (a password or server the user has mended since is used), without putting
    // anything into force.
    Account account = account_;
    std::string listedSender = request->listedSender;
    SelectAccount(accountList_, request->sender, listedSender, account);
    request->account = account;
    request->listedSender = listedSender;
    request->settings = SettingsFor(request->account, request->settings.systemName);
    request->upstream = UpstreamOf(request->account);
}

void RelayCore::RunDueRetries() {
    store::WallClock::time_point now = Now();
    std::vector<Request> due;
    for (auto it = deferred_.begin(); it != deferred_.end();) {
        if (!store::RetryDue(it->second->retry, now)) {
            ++it;
            continue;
        }
        due.push_back(std::move(it->second));
        it = deferred_.erase(it);
    }
    for (const Request& request : due) {
        Rebind(request);
        Submit(request);
    }
    if (!due.empty()) PublishQueue();
    ArmRetryCheck();
}

void RelayCore::ArmRetryCheck() {
    if (retryTimerSet_ || deferred_.empty()) return;
    auto interval = static_cast<uint32_t>(std::max<long>(1, options_.retryCheck.count()));
    retryTimerSet_ =
        platform::MessageLoop::Current().SetTimer(outcomeWindow_, kRetryTimerId, interval);
}

void RelayCore::PublishQueue() {
    if (observers.queueChanged) observers.queueChanged();
}

QueuedMessage RelayCore::QueuedFromSpool(const std::string& spoolId) const {
    QueuedMessage message;
    message.spoolId = spoolId;
    message.size = -1;
    if (!spool_ || spoolId.empty()) return message;
    if (auto envelope = spool_->EnvelopeOf(spoolId)) {
        message.sender = envelope->sender;
        message.recipientText = envelope->recipientText;
        message.size = envelope->size;
        message.received = envelope->received;
    }
    return message;
}

std::vector<QueuedMessage> RelayCore::Queue() const {
    std::vector<QueuedMessage> queue;
    for (const auto& [id, request] : deferred_) {
        QueuedMessage message = QueuedFromSpool(request->spoolId);
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
    auto addFailed = [&](const Record& record) {
        if (record.spoolId.empty()) return;
        QueuedMessage message = QueuedFromSpool(record.spoolId);
        message.failed = true;
        message.id = record.id;
        message.lastReason = record.reason;
        queue.push_back(std::move(message));
    };
    for (const Record& record : records_.KeptRecords()) addFailed(record);
    return queue;
}

bool RelayCore::RetryNow(const QueuedMessage& message) {
    if (message.failed) return Resend(message.id);
    auto found = deferred_.find(message.id);
    if (found == deferred_.end()) return false;
    Request request = std::move(found->second);
    deferred_.erase(found);
    Rebind(request);
    Submit(request);
    PublishQueue();
    return true;
}

bool RelayCore::DeleteQueued(const QueuedMessage& message) {
    if (message.failed) return DeleteKept(message.id);
    auto found = deferred_.find(message.id);
    if (found == deferred_.end()) return false;
    if (spool_ && !found->second->spoolId.empty()) spool_->Delete(found->second->spoolId);
    deferred_.erase(found);
    PublishQueue();
    return true;
}

} // namespace app
