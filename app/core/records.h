// The success and the failure list as the relay keeps them: a record per line, in the lists'
// order. A delivery's record knows its message (the spool id of a failed message kept for a
// resend) and why it failed, so that two equal lines are told apart and a line keeps its
// message while the user edits its text. The list files hold only the lines.
#pragma once

#include "app/core/string_list.h"

#include <cstdint>
#include <string>
#include <vector>

namespace app {

enum class ListKind { Relayed, Failed };

struct Record {
    uint64_t id = 0;     // unique among all records of a run; never 0
    std::string line;    // GBK, as the list file holds it
    std::string spoolId; // a failed message kept for a resend; empty otherwise
    std::string reason;  // why its delivery failed; empty for other lines
};

// A line as the list now shows it, with the record it came from (0: none, typed anew).
struct ShownLine {
    uint64_t id = 0;
    std::string line;
};

class RecordList {
  public:
    // Ids are drawn from `nextId`, shared by the lists of one relay.
    explicit RecordList(uint64_t& nextId) : nextId_(nextId) {}

    const std::vector<Record>& Records() const { return records_; }
    size_t Count() const { return records_.size(); }
    StringList Lines() const;
    // Looked up only on a user's command (a menu, a tooltip, a resend): a scan costs less
    // than an index beside every line of a list that grows all day.
    const Record* Find(uint64_t id) const;
    Record* Find(uint64_t id);
    // The first record showing `line` that has no message yet, or null.
    Record* FindUnkept(const std::string& line);

    // A new line at the end; its record.
    const Record& Append(std::string line, std::string spoolId = {}, std::string reason = {});
    // The list replaced by lines of no message (loaded, emptied); the records dropped.
    std::vector<Record> Replace(const StringList& lines);
    // The user's edit: the list becomes `shown`. A line that names a record of this list
    // keeps that record's message and reason with its new text; any other line is a new
    // record. The records no line names any more are returned.
    std::vector<Record> Edit(const std::vector<ShownLine>& shown);

  private:
    uint64_t& nextId_;
    std::vector<Record> records_;
};

} // namespace app
