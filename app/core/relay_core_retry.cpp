// The relay core's store and forward: deliveries go to an upstream as its sessions allow, and
// a message that failed for now waits in the spool with its schedule and goes again by itself.
#include "app/core/relay_core.h"

namespace app {

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
    if (entry.retry && !store::RetryDue(*entry.retry, Now())) return deferred_.Wait(request);
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
    std::vector<Request> due = deferred_.TakeDue();
    for (const Request& request : due) {
        Rebind(request);
        Submit(request);
    }
    if (!due.empty()) PublishQueue();
}

void RelayCore::PublishQueue() {
    if (observers.queueChanged) observers.queueChanged();
}

std::vector<QueuedMessage> RelayCore::Queue() const {
    std::vector<QueuedMessage> queue = deferred_.Queue();
    for (const Record& record : records_.KeptRecords()) {
        QueuedMessage message = QueuedFromSpool(spool_.get(), record.spoolId);
        message.failed = true;
        message.id = record.id;
        message.lastReason = record.reason;
        queue.push_back(std::move(message));
    }
    return queue;
}

bool RelayCore::RetryNow(const QueuedMessage& message) {
    if (message.failed) return Resend(message.id);
    Request request = deferred_.Take(message.id);
    if (!request) return false;
    Rebind(request);
    Submit(request);
    PublishQueue();
    return true;
}

bool RelayCore::DeleteQueued(const QueuedMessage& message) {
    if (message.failed) return DeleteKept(message.id);
    if (!deferred_.Delete(message.id)) return false;
    PublishQueue();
    return true;
}

} // namespace app
