#include "app/core/records.h"

#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace app {

StringList RecordList::Lines() const {
    StringList lines;
    lines.reserve(records_.size());
    for (const Record& record : records_) lines.push_back(record.line);
    return lines;
}

const Record* RecordList::Find(uint64_t id) const {
    if (id == 0) return nullptr;
    for (const Record& record : records_)
        if (record.id == id) return &record;
    return nullptr;
}

Record* RecordList::Find(uint64_t id) {
    return const_cast<Record*>(std::as_const(*this).Find(id));
}

Record* RecordList::FindUnkept(const std::string& line) {
    for (Record& record : records_)
        if (record.spoolId.empty() && record.line == line) return &record;
    return nullptr;
}

const Record& RecordList::Append(std::string line, std::string spoolId, std::string reason) {
    records_.push_back(Record{++nextId_, std::move(line), std::move(spoolId), std::move(reason)});
    return records_.back();
}

std::vector<Record> RecordList::Replace(const StringList& lines) {
    std::vector<Record> dropped;
    dropped.swap(records_);
    for (const std::string& line : lines) Append(line);
    return dropped;
}

std::vector<Record> RecordList::Edit(const std::vector<ShownLine>& shown) {
    std::unordered_map<uint64_t, Record*> byId; // for this edit only
    byId.reserve(records_.size());
    for (Record& record : records_) byId.emplace(record.id, &record);
    std::vector<Record> edited;
    edited.reserve(shown.size());
    // A line copied by the user shows the same id twice: only the first keeps the message,
    // or one message would be resent twice.
    std::unordered_set<uint64_t> taken;
    for (const ShownLine& line : shown) {
        auto old = line.id != 0 && !taken.count(line.id) ? byId.find(line.id) : byId.end();
        if (old != byId.end()) {
            taken.insert(line.id);
            edited.push_back(Record{line.id, line.line, old->second->spoolId, old->second->reason});
        } else {
            edited.push_back(Record{++nextId_, line.line, {}, {}});
        }
    }
    std::vector<Record> dropped;
    for (Record& record : records_)
        if (!taken.count(record.id)) dropped.push_back(std::move(record));
    records_ = std::move(edited);
    return dropped;
}

} // namespace app
