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
