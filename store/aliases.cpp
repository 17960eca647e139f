#include "store/aliases.h"

#include "platform/ini_profile.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "store/file_location.h"

#include <algorithm>

namespace store {

namespace {

// The logical lines of the file: continuation lines joined to the line they continue.
std::vector<std::string> EntryLines(const std::string& text) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if ((line[0] == ' ' || line[0] == '\t') && !entries.empty())
            entries.back() += " " + platform::TrimBlanks(line);
        else if (!platform::TrimBlanks(line).empty())
            entries.push_back(line);
    }
    return entries;
}

// The comma-separated values; a comma within quotes separates nothing. A value quoted whole
// ("|/usr/bin/prog -x") loses its quotes; a quoted local part ("a b"@x) is an address as it
// stands and keeps them.
std::vector<std::string> Values(const std::string& list) {
    std::vector<std::string> values;
    std::string value;
    bool quoted = false;
    auto flush = [&] {
        std::string trimmed = platform::TrimBlanks(value);
        if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"')
            trimmed = trimmed.substr(1, trimmed.size() - 2);
        if (!trimmed.empty()) values.push_back(trimmed);
        value.clear();
    };
    for (char c : list) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted)
            flush();
        else
            value += c;
    }
    flush();
    return values;
}

bool IsLocalName(const std::string& address) {
    return address.find('@') == std::string::npos;
}

} // namespace

std::string MailDomainIn(const std::string& settingsPath) {
    return platform::TrimBlanks(
        platform::IniProfile(settingsPath, "smtpconfig").ReadString("maildomain", ""));
}

std::string AliasesPathOf(const std::string& fileFolder) {
    return fileFolder.empty() ? std::string() : fileFolder + "aliases";
}

void Aliases::Read(const std::string& path, std::vector<std::string>& notes) {
    auto text = platform::ReadFileBytes(path);
    if (!text) return;
    std::map<std::string, std::vector<std::string>> read;
    for (const std::string& entry : EntryLines(*text)) {
        size_t colon = entry.find(':');
        std::string name = platform::AsciiLower(platform::TrimBlanks(entry.substr(0, colon)));
        if (colon == std::string::npos || name.empty()) {
            notes.push_back(path + ": \"" + entry + "\" is no \"name: address\" line; skipped");
            continue;
        }
        std::vector<std::string>& targets = read[name];
        for (const std::string& value : Values(entry.substr(colon + 1))) {
            if (value[0] == '|' || value[0] == '/' || value.rfind(":include:", 0) == 0) {
                notes.push_back(path + ": " + name + ": \"" + value +
                                "\" delivers to a command, a file or a list, which the relay "
                                "cannot do; skipped");
                continue;
            }
            targets.push_back(value);
        }
    }
    for (auto& [name, targets] : read) entries_.emplace(name, std::move(targets)); // first wins
}

std::vector<std::string> Aliases::Resolve(const std::vector<std::string>& recipients,
                                          const std::string& mailDomain,
                                          std::string& problem) const {
    std::vector<std::string> out;
    for (const std::string& recipient : recipients) {
        std::vector<std::string> path, mine;
        std::string loop;
        if (!Expand(recipient, mailDomain, path, mine, loop, problem)) return {};
        if (mine.empty()) {
            // Every way out of it led back in: "a: b" and "b: a" name nobody.
            problem =
                "the aliases of \"" + recipient + "\" loop (" + loop + ") and name no address";
            return {};
        }
        for (const std::string& address : mine)
            if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
    }
    return out;
}

bool Aliases::Expand(const std::string& address, const std::string& mailDomain,
                     std::vector<std::string>& path, std::vector<std::string>& out,
                     std::string& loop, std::string& problem) const {
    auto add = [&out](const std::string& resolved) {
        if (std::find(out.begin(), out.end(), resolved) == out.end()) out.push_back(resolved);
    };
    if (!IsLocalName(address)) {
        add(address);
        return true;
    }
    std::string name = platform::AsciiLower(address);
    if (std::find(path.begin(), path.end(), name) != path.end()) {
        // "root: root, me@corp.test" keeps root for a local mailbox, which the relay does
        // not have: the name is already being expanded, its other addresses stand for it.
        for (const std::string& step : path) loop += step + " -> ";
        loop += name;
        return true;
    }
    auto entry = entries_.find(name);
    if (entry != entries_.end() && !entry->second.empty()) {
        if (path.size() >= static_cast<size_t>(kMaxDepth)) {
            problem = "the aliases of \"" + path.front() + "\" go deeper than " +
                      std::to_string(kMaxDepth) + " names";
            return false;
        }
        path.push_back(name);
        for (const std::string& target : entry->second)
            if (!Expand(target, mailDomain, path, out, loop, problem)) return false;
        path.pop_back();
        return true;
    }
    if (mailDomain.empty()) {
        problem = "\"" + address + "\" is a local name with no alias and no mail domain is set";
        return false;
    }
    add(address + "@" + mailDomain);
    return true;
}

std::vector<std::string> ResolveLocalNames(const std::vector<std::string>& recipients,
                                           const std::string& fileFolder,
                                           const std::string& systemAliases,
                                           std::vector<std::string>& notes, std::string& problem) {
    Aliases aliases;
    if (!fileFolder.empty()) aliases.Read(AliasesPathOf(fileFolder), notes);
    aliases.Read(systemAliases, notes);
    std::string mailDomain =
        fileFolder.empty() ? std::string() : MailDomainIn(SettingsPathOf(fileFolder));
    return aliases.Resolve(recipients, mailDomain, problem);
}

} // namespace store
