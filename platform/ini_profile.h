// Access to one section of an INI file, with the observable behaviour of the Windows
// profile-string calls that the files beside the executable were written with:
// "[section]" header, "key=value" lines, CR LF line ends, section and key names compared
// without regard to ASCII case, every other byte of the file kept as it was.
#pragma once

#include "platform/text_file.h"

#include <string>
#include <utility>
#include <vector>

namespace platform {

class IniProfile {
  public:
    // Longest value that a read returns; the rest is cut, as a 2048-byte buffer would.
    static constexpr size_t kMaxValue = 2047;

    IniProfile(std::string path, std::string section);

    // `fallback` only when the key is missing; an empty value reads as empty.
    std::string ReadString(const std::string& key, const std::string& fallback) const;
    // `fallback` when missing or not a number; "0x" starts a hexadecimal value.
    int ReadInteger(const std::string& key, int fallback) const;
    // Every "key=value" line of the section, in order, the value trimmed of blanks but
    // otherwise as written (quotes kept: the section holds command lines, whose quotes are
    // the shell's). Empty when the file or the section is missing.
    std::vector<std::pair<std::string, std::string>> ReadSection() const;
    // Replaces the key's value in place, or adds the key (and the section) at their end.
    // Returns false when the file cannot be written; the old file is then left as it was.
    bool WriteString(const std::string& key, const std::string& value) const;
    // The same for several keys, in their order, with one replace of the file: a kill in the
    // middle leaves all the old values or all the new ones.
    bool WriteStrings(const std::vector<std::pair<std::string, std::string>>& values) const;

    const std::string& Path() const { return path_; }

    // Creation mode of a new file (existing files keep theirs). Default 0644.
    void SetCreateMode(unsigned mode) { createMode_ = mode; }
    // The mode after every write, whatever the file had (a file that holds passwords).
    void SetMode(unsigned mode) {
        createMode_ = mode;
        modeRule_ = FileMode::Always;
    }

  private:
    bool Find(const std::string& key, std::string& value) const;
    void SetInText(std::string& text, const std::string& key, const std::string& value) const;

    std::string path_;
    std::string section_;
    unsigned createMode_ = 0644;
    FileMode modeRule_ = FileMode::KeepExisting;
};

} // namespace platform
