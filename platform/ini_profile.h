// Access to one section of an INI file, with the observable behaviour of the Windows
// profile-string calls that the files beside the executable were written with:
// "[section]" header, "key=value" lines, CR LF line ends, section and key names compared
// without regard to ASCII case, every other byte of the file kept as it was.
#pragma once

#include <string>

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
    // Replaces the key's value in place, or adds the key (and the section) at their end.
    // Returns false when the file cannot be written; the old file is then left as it was.
    bool WriteString(const std::string& key, const std::string& value) const;

    const std::string& Path() const { return path_; }

    // Creation mode of a new file (existing files keep theirs). Default 0644.
    void SetCreateMode(unsigned mode) { createMode_ = mode; }

  private:
    bool Find(const std::string& key, std::string& value) const;

    std::string path_;
    std::string section_;
    unsigned createMode_ = 0644;
};

} // namespace platform
