// The success and failure records, and the failed messages kept for a resend. A kept message
// is found by its record's number, never by the text of a line: two equal lines keep two
// messages. A record whose line leaves its list (cleared, archived, deleted by the user)
// while its message is kept stays, unlisted, so that the message is never lost from sight.
//
// Runs on the relay core's thread and holds no file and no spool: the core reads and writes
// the lines and keeps the messages; the book says which record holds which.
#pragma once

#include "app/core/records.h"

#include <cstdint>
#include <string>
#include <vector>

namespace app {

class RecordBook {
  public:
    const RecordList& List(ListKind kind) const {
        return kind == ListKind::Relayed ? relayed_ : failed_;
    }
    // A list replaced whole, or as the user's edit left it.
    void Replace(ListKind kind, const StringList& lines);
    void Edit(ListKind kind, const std::vector<ShownLine>& shown);
    // A new last line; its record's number.
    uint64_t AppendRelayed(const std::string& line);
    uint64_t AppendFailed(const std::string& line, const std::string& keptSpoolId,
                          const std::string& reason);

    // A failed message of an earlier run, found in the spool: the listed record of its line
    // that keeps no message yet takes it, else an unlisted one.
    void AdoptKept(const std::string& line, const std::string& spoolId, const std::string& reason);
    // A spool file that is no message: listed nowhere, kept (as failed) until deleted.
    void AdoptUnreadable(const std::string& spoolId, const std::string& reason);

    // A failure record, listed or unlisted, with its message kept; null when there is none.
    const Record* Kept(uint64_t recordId);
    // The record keeps its message no longer (resent, deleted): a listed one stays a record,
    // an unlisted one is gone.
    void Unkeep(uint64_t recordId);
    // Every record that keeps a message, the listed ones first.
    std::vector<Record> KeptRecords() const;
    size_t KeptCount() const;

  private:
    void KeepUnlisted(std::vector<Record> dropped);

    uint64_t nextId_ = 0;
    RecordList relayed_{nextId_};
    RecordList failed_{nextId_};
    std::vector<Record> unlisted_;
};

} // namespace app
