// What a finished delivery leaves behind: its success or failure line (RecordBook), what the
// spool does with its message (gone, kept for a resend, narrowed to the recipients still to
// be tried, a copy for the refused ones) and its journal line; a temporary failure is handed
// to `defer` instead. A message whose recipients fared differently becomes one part per
// group, each recorded as a message of its own would be. Stopped deliveries (an exit) leave
// their messages for the next start.
//
// Runs on the relay core's thread, in its outcome pass; it holds nothing of its own.
#pragma once

#include "app/core/delivery.h"
#include "app/core/recipient_outcomes.h"
#include "app/core/record_book.h"
#include "store/spool.h"

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace app {

class OutcomeRecorder {
  public:
    using Request = std::shared_ptr<DeliveryRequest>;

    // `spool` may be null (messages in memory only).
    OutcomeRecorder(RecordBook& records, std::function<void(const std::string&)> journal)
        : records_(records), journal_(std::move(journal)) {}
    void Bind(std::shared_ptr<store::Spool> spool) { spool_ = std::move(spool); }

    // A temporary failure to be tried again: kept with its schedule (`outcome` says so);
    // false when it is to fail now.
    std::function<bool(DeliveryOutcome& outcome, const Request& request, std::time_t now)> defer;
    // A spool message made here (the refused recipients' copy).
    std::function<void(const std::string& spoolId)> copied;

    // An outcome (its request null when unknown) into the records, the spool and the
    // schedule; what is to be published (the outcome, or a part per group of recipients
    // that fared alike) goes into `published`.
    void Record(DeliveryOutcome outcome, const Request& request, std::time_t now,
                std::vector<DeliveryOutcome>& published);

  private:
    // Recipients that fared differently: a success line for those that have it, a retry for
    // the deferred ones, a failure line for those refused (with a copy kept for a resend).
    void RecordParts(DeliveryOutcome outcome, const RecipientGroups& groups, const Request& request,
                     std::time_t now, std::vector<DeliveryOutcome>& published);
    // The spool message that holds the refused part's recipients alone, to be kept for its
    // resend (a copy beside the message while others wait for a retry), or empty.
    std::string RefusedCopy(const std::string& spoolId, const DeliveryOutcome& part,
                            bool othersDeferred, std::time_t now);
    // Stopped by an exit: kept for the next start, for those that do not have it yet.
    void RecordStopped(DeliveryOutcome& outcome, const RecipientGroups& groups, std::time_t now,
                       std::vector<DeliveryOutcome>& published);
    std::string LineOf(const DeliveryOutcome& outcome, std::time_t now) const;
    void ListRelayed(DeliveryOutcome& outcome, std::time_t now);
    // The failure line; the message in `spoolId` (when given) kept for a resend.
    void ListFailed(DeliveryOutcome& outcome, std::time_t now, const std::string& spoolId);

    RecordBook& records_;
    std::function<void(const std::string&)> journal_;
    std::shared_ptr<store::Spool> spool_;
};

} // namespace app
