// Local names and the addresses they stand for. cron, smartd and unattended-upgrades mail
// "root" or a login name, which no provider takes: the aliases file turns such a name into a
// person's address before anything is sent. Addresses with an "@" are never touched.
//
// The file is /etc/aliases' syntax: "name: address, address", "#" starts a comment line, a
// line starting with a blank continues the one before. Names match without regard to case.
// Entries that deliver to a command, a file or an included list ("|...", "/...",
// ":include:...") are no mail to relay: they are skipped with a note.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace store {

// The user's aliases file within the files' folder `fileFolder` (with its trailing "/").
std::string AliasesPathOf(const std::string& fileFolder);
// The system's file, read after the user's: its "root:" line is where installers put the
// administrator's address.
inline constexpr const char* kSystemAliases = "/etc/aliases";

// The "maildomain" setting of [smtpconfig] in the settings file: the domain a local name
// with no alias is given ("root" becomes root@<domain>); empty when unset.
std::string MailDomainIn(const std::string& settingsPath);

class Aliases {
  public:
    // Expansions deeper than this are a loop however the names are spelt.
    static constexpr int kMaxDepth = 16;

    // Adds the entries of `path` (a missing file adds none); a name already known keeps the
    // value read first, so that the user's file overrides the system's. Each entry skipped
    // gets a line in `notes`.
    void Read(const std::string& path, std::vector<std::string>& notes);
    bool Empty() const { return entries_.empty(); }

    // `recipients` with every local name (no "@") replaced by what it stands for, again and
    // again until only addresses remain, each once in the order first met. A name with no
    // alias becomes name@`mailDomain` when that is set; a name met again while it is being
    // expanded stands for its other addresses. Empty, with `problem` naming the name and why,
    // when a name has no alias and there is no domain, or its aliases name no address.
    std::vector<std::string> Resolve(const std::vector<std::string>& recipients,
                                     const std::string& mailDomain, std::string& problem) const;

  private:
    // Adds what `address` stands for to `out`; false (with `problem`) when a name cannot be
    // resolved. `path` holds the names being expanded; a name met again on it is skipped and
    // the chain written to `loop`.
    bool Expand(const std::string& address, const std::string& mailDomain,
                std::vector<std::string>& path, std::vector<std::string>& out, std::string& loop,
                std::string& problem) const;

    std::map<std::string, std::vector<std::string>> entries_; // by lower-cased name
};

// `recipients` resolved as the relay's files give them: the aliases of the files' folder
// `fileFolder` (none when it is empty), then those of `systemAliases`, then the folder's mail
// domain. The relay and the sendmail command resolve through it alike. Aliases::Resolve's
// result and `problem`; what the files' reading skipped goes into `notes`.
std::vector<std::string> ResolveLocalNames(const std::vector<std::string>& recipients,
                                           const std::string& fileFolder,
                                           const std::string& systemAliases,
                                           std::vector<std::string>& notes, std::string& problem);

} // namespace store
