// The relay's own files in its folder: the settings ("brontalnow.ini"), the account list
// ("brontalhao.ini") and the success and failure lists ("good.ini", "bad.ini", each with its
// archive of lines past the 500th). The spool beside them is the store's. Main thread only.
//
// Nothing the user wrote is overwritten by something we failed to read: a file that existed
// but could not be read is remembered and left as it is at the save, and so is every list
// after it (they were not read either).
#pragma once

#include "app/core/accounts.h"
#include "app/core/credential_commands.h"
#include "app/core/string_list.h"

#include <optional>
#include <set>
#include <string>

namespace app {

// What a folder's files hold, as read.
struct FolderContents {
    Account account;
    RelayPolicy policy;
    CredentialCommands credentials;
    // Each list as read; unset when its file is missing or was not read.
    std::optional<StringList> accountList, relayed, failed;
    // The first list that could not be read (all after it were left unread), or empty.
    std::string unreadableList;
};

class RelayFiles {
  public:
    static constexpr const char* kAccountListName = "brontalhao.ini";
    static constexpr const char* kRelayedListName = "good.ini";
    static constexpr const char* kFailedListName = "bad.ini";
    // Lists longer than this at a start go to their archive, and the list starts empty.
    static constexpr size_t kListLimit = 500;

    // `folder` ends with "/"; empty: the relay keeps no files (tests, a relay in memory).
    explicit RelayFiles(std::string folder) : folder_(std::move(folder)) {}

    bool Enabled() const { return !folder_.empty(); }
    const std::string& Folder() const { return folder_; }
    std::string PathOf(const std::string& name) const { return folder_ + name; }

    // Reads the settings, then the lists in their order; a file found readable to others is
    // made owner-only.
    FolderContents Read();
    // Appends a list's lines to its archive, synced; false (with a line on standard error)
    // when they could not be, and the list must keep them.
    bool Archive(const std::string& listName, const StringList& lines);
    // Writes the settings; false when they could not be written (`path` says which file),
    // and then nothing else is written.
    bool WriteSettingsFile(const Account& account, const RelayPolicy& policy, std::string& path);
    // Writes a list whole, unless its file could not be read.
    void WriteList(const std::string& name, const StringList& lines);

  private:
    std::string folder_;
    std::set<std::string> unreadable_; // paths of files left alone at the save
};

} // namespace app
