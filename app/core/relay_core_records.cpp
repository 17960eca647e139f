// The relay core's records: the lists as loaded, cleared and edited, and the failed
// messages kept for a resend, found by their record rather than by the text of a line.
#include "app/core/relay_core.h"

namespace app {

namespace {
RecordList& ListOf(ListKind kind, RecordList& relayed, RecordList& failed) {
    return kind == ListKind::Relayed ? relayed : failed;
}
} // namespace

void RelayCore::KeepUnlisted(std::vector<Record> dropped) {
    for (Record& record : dropped)
        if (!record.spoolId.empty()) unlisted_.push_back(std::move(record));
}

void RelayCore::LoadRecords(ListKind kind, const StringList& lines) {
    KeepUnlisted(ListOf(kind, relayedRecords_, failedRecords_).Replace(lines));
    if (observers.recordsReplaced) observers.recordsReplaced(kind);
}

void RelayCore::ClearRecords() {
    LoadRecords(ListKind::Relayed, {});
    LoadRecords(ListKind::Failed, {});
}

void RelayCore::EditRecords(ListKind kind, const std::vector<ShownLine>& shown) {
    KeepUnlisted(ListOf(kind, relayedRecords_, failedRecords_).Edit(shown));
}

Record* RelayCore::FailedRecord(uint64_t recordId) {
    if (Record* listed = failedRecords_.Find(recordId)) return listed;
    for (Record& record : unlisted_)
        if (record.id == recordId) return &record;
    return nullptr;
}

bool RelayCore::Resend(uint64_t recordId) {
    Record* record = FailedRecord(recordId);
    if (!record || record->spoolId.empty() || !spool_) return false;
    std::string id = record->spoolId;
    auto message = spool_->Envelope(id);
    if (!message) return false;
    record->spoolId.clear(); // the record stays; its message is on its way again
    std::erase_if(unlisted_, [](const Record& r) { return r.spoolId.empty(); });
    spool_->Unfail(id);
    // Through the account then in force, selected for its sender as at a MAIL.
    message->bound = SelectAccountFor(message->sender);
    DeliverSlot(std::move(*message), id);
    PublishQueue();
    return true;
}

size_t RelayCore::ResendAll() {
    std::vector<uint64_t> kept;
    for (const Record& record : failedRecords_.Records())
        if (!record.spoolId.empty()) kept.push_back(record.id);
    for (const Record& record : unlisted_) kept.push_back(record.id);
    size_t sent = 0;
    for (uint64_t id : kept) sent += Resend(id) ? 1 : 0;
    return sent;
}

size_t RelayCore::KeptFailures() const {
    size_t kept = unlisted_.size();
    for (const Record& record : failedRecords_.Records()) kept += record.spoolId.empty() ? 0 : 1;
    return kept;
}

bool RelayCore::DeleteKept(uint64_t recordId) {
    Record* record = FailedRecord(recordId);
    if (!record || record->spoolId.empty() || !spool_) return false;
    spool_->Delete(record->spoolId);
    record->spoolId.clear(); // a listed record stays as a record; its message is gone
    std::erase_if(unlisted_, [](const Record& r) { return r.spoolId.empty(); });
    PublishQueue();
    return true;
}

} // namespace app
