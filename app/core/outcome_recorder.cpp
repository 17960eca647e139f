#include "app/core/outcome_recorder.h"

namespace app {

void OutcomeRecorder::Record(DeliveryOutcome outcome, const Request& request, std::time_t now,
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
    if (!outcome.failedWithError && !outcome.relayed && request && defer(outcome, request, now)) {
        published.push_back(std::move(outcome)); // no line: it is tried again by itself
        return;
    }
    journal_(JournalLine(outcome, now));
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

std::string OutcomeRecorder::LineOf(const DeliveryOutcome& outcome, std::time_t now) const {
    // The message's own account and selected sender, not those a later MAIL put in force.
    return LogLine(outcome.relayed, outcome.mailbox, outcome.listedSender, outcome.recipientText,
                   now);
}

void OutcomeRecorder::ListRelayed(DeliveryOutcome& outcome, std::time_t now) {
    outcome.logLine = LineOf(outcome, now);
    outcome.recordId = records_.AppendRelayed(outcome.logLine);
}

void OutcomeRecorder::ListFailed(DeliveryOutcome& outcome, std::time_t now,
                                 const std::string& spoolId) {
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

void OutcomeRecorder::RecordParts(DeliveryOutcome outcome, const RecipientGroups& groups,
                                  const Request& request, std::time_t now,
                                  std::vector<DeliveryOutcome>& published) {
    std::vector<smtpclient::TRecipientOutcome> refused = groups.refused;
    std::vector<DeliveryOutcome> parts;
    if (!groups.delivered.empty()) {
        DeliveryOutcome part = PartOf(outcome, groups.delivered, true);
        journal_(JournalLine(part, now));
        ListRelayed(part, now);
        parts.push_back(std::move(part));
    }
    bool deferred = false;
    if (!groups.deferred.empty() && request) {
        DeliveryOutcome part = PartOf(outcome, groups.deferred, false);
        part.temporary = true;
        std::string recipientText = request->recipientText;
        request->recipientText = part.recipientText;
        deferred = defer(part, request, now);
        if (deferred) {
            // Its file names only them now, for a restart.
            if (spool_ && !request->spoolId.empty() &&
                !spool_->Readdress(request->spoolId, part.recipientText, false))
                journal_(JournalLine(part, now) +
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
        journal_(JournalLine(part, now));
        ListFailed(part, now, RefusedCopy(outcome.spoolId, part, deferred, now));
        parts.push_back(std::move(part));
    }
    for (DeliveryOutcome& part : parts) published.push_back(std::move(part));
}

std::string OutcomeRecorder::RefusedCopy(const std::string& spoolId, const DeliveryOutcome& part,
                                         bool othersDeferred, std::time_t now) {
    if (!spool_ || spoolId.empty()) return std::string();
    // The message stays for the deferred recipients: the refused ones get a copy of their
    // own to resend. Otherwise its file is narrowed to them.
    auto kept = spool_->Readdress(spoolId, part.recipientText, othersDeferred);
    if (kept && copied) copied(*kept);
    if (!kept) journal_(JournalLine(part, now) + " (its message could not be kept for a resend)");
    return kept ? *kept : std::string();
}

void OutcomeRecorder::RecordStopped(DeliveryOutcome& outcome, const RecipientGroups& groups,
                                    std::time_t now, std::vector<DeliveryOutcome>& published) {
    journal_(JournalLine(outcome, now, "stopped") + " (kept for the next start)");
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
