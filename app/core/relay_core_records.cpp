// The relay core's records: the lists as loaded, cleared and edited, and the failed
// messages kept for a resend, found by their record rather than by the text of a line.
#include "app/core/relay_core.h"

#include "app/core/recipient_outcomes.h"

namespace app {

void RelayCore::LoadRecords(ListKind kind, const StringList& lines) {
    records_.Replace(kind, lines);
    if (observers.recordsReplaced) observers.recordsReplaced(kind);
}

void RelayCore::ClearRecords() {
    LoadRecords(ListKind::Relayed, {});
    LoadRecords(ListKind::Failed, {});
}

void RelayCore::EditRecords(ListKind kind, const std::vector<ShownLine>& shown) {
    records_.Edit(kind, shown);
}

bool RelayCore::Resend(uint64_t recordId) {
    const Record* record = records_.Kept(recordId);
    if (!record || !spool_) return false;
    std::string id = record->spoolId;
    auto envelope = spool_->EnvelopeOf(id);
    if (!envelope) return false;
    records_.Unkeep(recordId); // a listed record stays; its message is on its way again
    spool_->Unfail(id);
    // Through the account then in force, selected for its sender as at a MAIL.
    CompletedMessage message;
    message.sender = envelope->sender;
    message.recipientText = envelope->recipientText;
    message.bound = SelectAccountFor(message.sender);
    DeliverSlot(std::move(message), id);
    PublishQueue();
    return true;
}

size_t RelayCore::ResendAll() {
    size_t sent = 0;
    for (const Record& record : records_.KeptRecords()) sent += Resend(record.id) ? 1 : 0;
    return sent;
}

size_t RelayCore::KeptFailures() const {
    return records_.KeptCount();
}

bool RelayCore::DeleteKept(uint64_t recordId) {
    const Record* record = records_.Kept(recordId);
    if (!record || !spool_) return false;
    spool_->Delete(record->spoolId);
    records_.Unkeep(recordId); // a listed record stays as a record; its message is gone
    PublishQueue();
    return true;
}

} // namespace app

namespace app {

void RelayCore::RecordOutcome(DeliveryOutcome outcome, const Request& request, std::time_t now,
                              std::vector<DeliveryOutcome>& published) {
    RecipientGroups groups(outcome.recipients);
    if (outcome.stopped) {
        RecordStopped(outcome, groups, now, published);
        return;
    }
    if (!outcome.failedWithError && groups.Mixed()) {
        RecordParts(std::move(outcome), groups, request, now, published);
        return;
    }
    if (!outcome.failedWithError && !outcome.relayed && request &&
        DeferIfTemporary(outcome, request, now)) {
        published.push_back(std::move(outcome)); // no line: it is tried again by itself
        return;
    }
    options_.journal(JournalLine(outcome, now));
    if (!outcome.failedWithError) {
        if (outcome.relayed) {
            // Its worker has handed it back to the spool already.
            ListRelayed(outcome, now);
        } else {
            ListFailed(outcome, now, outcome.spoolId);
        }
    }
    published.push_back(std::move(outcome)); // an error has no line: it stays to be tried again
}

std::string RelayCore::LineOf(const DeliveryOutcome& outcome, std::time_t now) const {
    // The message's own account and selected sender, not those a later MAIL put in force.
    return LogLine(outcome.relayed, outcome.mailbox, outcome.listedSender, outcome.recipientText,
                   now);
}

void RelayCore::ListRelayed(DeliveryOutcome& outcome, std::time_t now) {
    outcome.logLine = LineOf(outcome, now);
    outcome.recordId = records_.AppendRelayed(outcome.logLine);
}

void RelayCore::ListFailed(DeliveryOutcome& outcome, std::time_t now, const std::string& spoolId) {
    outcome.logLine = LineOf(outcome, now);
    bool kept =
        spool_ && !spoolId.empty() && spool_->KeepFailed(spoolId, outcome.logLine, outcome.reason);
    outcome.recordId =
        records_.AppendFailed(outcome.logLine, kept ? spoolId : std::string(), outcome.reason);
}

namespace {

// One part of a delivery: the same message and attempt, for some of its recipients.
DeliveryOutcome PartOf(const DeliveryOutcome& whole,
                       const std::vector<smtpclient::TRecipientOutcome>& recipients, bool relayed) {
    DeliveryOutcome part = whole;
    part.recipients = recipients;
    part.recipientText = RecipientText(recipients);
    part.relayed = relayed;
    part.reason = relayed ? std::string() : ReasonsOf(recipients);
    part.temporary = false;
    part.sessionRefused = false;
    part.deferred = false;
    return part;
}

} // namespace

void RelayCore::RecordParts(DeliveryOutcome outcome, const RecipientGroups& groups,
                            const Request& request, std::time_t now,
                            std::vector<DeliveryOutcome>& published) {
    std::vector<smtpclient::TRecipientOutcome> refused = groups.refused;
    std::vector<DeliveryOutcome> parts;
    if (!groups.delivered.empty()) {
        DeliveryOutcome part = PartOf(outcome, groups.delivered, true);
        options_.journal(JournalLine(part, now));
        ListRelayed(part, now);
        parts.push_back(std::move(part));
    }
    bool deferred = false;
    if (!groups.deferred.empty() && request) {
        DeliveryOutcome part = PartOf(outcome, groups.deferred, false);
        part.temporary = true;
        std::string recipientText = request->recipientText;
        request->recipientText = part.recipientText;
        deferred = DeferIfTemporary(part, request, now);
        if (deferred) {
            // Its file names only them now, for a restart.
            if (spool_ && !request->spoolId.empty() &&
                !spool_->Readdress(request->spoolId, part.recipientText, false))
                options_.journal(JournalLine(part, now) +
                                 " (its spool file could not be narrowed to these recipients: "
                                 "after a restart the others would get it again)");
            parts.push_back(std::move(part));
        } else {
            request->recipientText = recipientText;
            // Not to be tried again (retries off, its lifetime over): failed with its reason
            // and what the schedule added to it.
            std::string added = part.reason.substr(ReasonsOf(groups.deferred).size());
            for (auto recipient : groups.deferred) {
                recipient.reason += added;
                refused.push_back(std::move(recipient));
            }
        }
    } else {
        refused.insert(refused.end(), groups.deferred.begin(), groups.deferred.end());
    }
    if (!refused.empty()) {
        DeliveryOutcome part = PartOf(outcome, refused, false);
        options_.journal(JournalLine(part, now));
        ListFailed(part, now, RefusedCopy(outcome.spoolId, part, deferred, now));
        parts.push_back(std::move(part));
    }
    for (DeliveryOutcome& part : parts) published.push_back(std::move(part));
}

std::string RelayCore::RefusedCopy(const std::string& spoolId, const DeliveryOutcome& part,
                                   bool othersDeferred, std::time_t now) {
    if (!spool_ || spoolId.empty()) return std::string();
    // The message stays for the deferred recipients: the refused ones get a copy of their
    // own to resend. Otherwise its file is narrowed to them.
    auto kept = spool_->Readdress(spoolId, part.recipientText, othersDeferred);
    if (kept) knownSpoolIds_.insert(*kept);
    if (!kept)
        options_.journal(JournalLine(part, now) + " (its message could not be kept for a resend)");
    return kept ? *kept : std::string();
}

void RelayCore::RecordStopped(DeliveryOutcome& outcome, const RecipientGroups& groups,
                              std::time_t now, std::vector<DeliveryOutcome>& published) {
    options_.journal(JournalLine(outcome, now, "stopped") + " (kept for the next start)");
    if (groups.delivered.empty()) return;
    // Some had it before the stop (an earlier transaction): the next start sends it to the
    // others only.
    std::vector<smtpclient::TRecipientOutcome> rest = groups.refused;
    rest.insert(rest.end(), groups.deferred.begin(), groups.deferred.end());
    if (spool_ && !outcome.spoolId.empty() && !rest.empty())
        spool_->Readdress(outcome.spoolId, RecipientText(rest), false);
    DeliveryOutcome part = PartOf(outcome, groups.delivered, true);
    ListRelayed(part, now);
    published.push_back(std::move(part));
}

} // namespace app
