#include "app/core/record_book.h"

#include <algorithm>

namespace app {

void RecordBook::KeepUnlisted(std::vector<Record> dropped) {
    for (Record& record : dropped)
        if (!record.spoolId.empty()) unlisted_.push_back(std::move(record));
}

void RecordBook::Replace(ListKind kind, const StringList& lines) {
    KeepUnlisted((kind == ListKind::Relayed ? relayed_ : failed_).Replace(lines));
}

void RecordBook::Edit(ListKind kind, const std::vector<ShownLine>& shown) {
    KeepUnlisted((kind == ListKind::Relayed ? relayed_ : failed_).Edit(shown));
}

uint64_t RecordBook::AppendRelayed(const std::string& line) {
    return relayed_.Append(line).id;
}

uint64_t RecordBook::AppendFailed(const std::string& line, const std::string& keptSpoolId,
                                  const std::string& reason) {
    return failed_.Append(line, keptSpoolId, reason).id;
}

void RecordBook::AdoptKept(const std::string& line, const std::string& spoolId,
                           const std::string& reason) {
    // The list file holds only lines: a kept message finds its record by its line.
    if (Record* record = failed_.FindUnkept(line)) {
        record->spoolId = spoolId;
        record->reason = reason;
        return;
    }
    unlisted_.push_back(Record{++nextId_, line, spoolId, reason});
}

void RecordBook::AdoptUnreadable(const std::string& spoolId, const std::string& reason) {
    unlisted_.push_back(Record{++nextId_, std::string(), spoolId, reason});
}

const Record* RecordBook::Kept(uint64_t recordId) {
    const Record* record = failed_.Find(recordId);
    for (auto r = unlisted_.begin(); !record && r != unlisted_.end(); ++r)
        if (r->id == recordId) record = &*r;
    return record && !record->spoolId.empty() ? record : nullptr;
}

void RecordBook::Unkeep(uint64_t recordId) {
    if (Record* listed = failed_.Find(recordId)) listed->spoolId.clear();
    std::erase_if(unlisted_, [recordId](const Record& r) { return r.id == recordId; });
}

std::vector<Record> RecordBook::KeptRecords() const {
    std::vector<Record> kept;
    for (const Record& record : failed_.Records())
        if (!record.spoolId.empty()) kept.push_back(record);
    kept.insert(kept.end(), unlisted_.begin(), unlisted_.end());
    return kept;
}

size_t RecordBook::KeptCount() const {
    size_t kept = unlisted_.size();
    for (const Record& record : failed_.Records()) kept += record.spoolId.empty() ? 0 : 1;
    return kept;
}

} // namespace app
