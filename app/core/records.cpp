#include "app/core/records.h"

#include <unordered_set>

namespace app {

StringList RecordList::Lines() const {
    StringList lines;
    lines.reserve(records_.size());
    for (const Record& record : records_) lines.push_back(record.line);
    return lines;
}

const Record* RecordList::Find(uint64_t id) const {
    auto found = index_.find(id);
    return found == index_.end() ? nullptr : &records_[found->second];
}

Record* RecordList::Find(uint64_t id) {
    auto found = index_.find(id);
    return found == index_.end() ? nullptr : &records_[found->second];
}

Record* RecordList::FindUnkept(const std::string& line) {
    for (Record& record : records_)
        if (record.spoolId.empty() && record.line == line) return &record;
    return nullptr;
}

const Record& RecordList::Append(std::string line, std::string spoolId, std::string reason) {
    records_.push_back(Record{++nextId_, std::move(line), std::move(spoolId), std::move(reason)});
    index_[records_.back().id] = records_.size() - 1;
    return records_.back();
}

std::vector<Record> RecordList::Replace(const StringList& lines) {
    std::vector<Record> dropped;
    dropped.swap(records_);
    index_.clear();
    for (const std::string& line : lines) Append(line);
    return dropped;
}

std::vector<Record> RecordList::Edit(const std::vector<ShownLine>& shown) {
    std::vector<Record> edited;
    edited.reserve(shown.size());
    // A line copied by the user shows the same id twice: only the first keeps the message,
    // or one message would be resent twice.
    std::unordered_set<uint64_t> taken;
    for (const ShownLine& line : shown) {
        Record* old = line.id != 0 && !taken.count(line.id) ? Find(line.id) : nullptr;
        if (old) {
            taken.insert(line.id);
            edited.push_back(Record{old->id, line.line, old->spoolId, old->reason});
        } else {
            edited.push_back(Record{++nextId_, line.line, {}, {}});
        }
    }
    std::vector<Record> dropped;
    for (Record& record : records_)
        if (!taken.count(record.id)) dropped.push_back(std::move(record));
    records_ = std::move(edited);
    Reindex();
    return dropped;
}

void RecordList::Reindex() {
    index_.clear();
    for (size_t i = 0; i < records_.size(); ++i) index_[records_[i].id] = i;
}

} // namespace app
