#include "platform/ini_profile.h"

#include "platform/text.h"

#include "platform/text_file.h"

#include <cstdint>
#include <vector>

namespace platform {

namespace {

struct Line {
    size_t start; // offset of the first byte
    size_t end;   // offset after the text, before the line end
    size_t next;  // offset of the next line
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back({pos, text.size(), text.size()});
            break;
        }
        size_t next = end + 1;
        if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
        lines.push_back({pos, end, next});
        pos = next;
    }
    return lines;
}

// Name of a "[name]" line, or nothing.
bool SectionName(const std::string& line, std::string& name) {
    std::string t = TrimSpacesAndTabs(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = TrimSpacesAndTabs(t.substr(1, close - 1));
    return true;
}

// Key and raw value of a "key=value" line.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    key = TrimSpacesAndTabs(line.substr(0, eq));
    value = line.substr(eq + 1);
    return !key.empty() && key[0] != ';';
}

struct Located {
    bool sectionFound = false;
    size_t sectionEnd = 0; // where a new key line goes: after the section's last non-empty line
    bool keyFound = false;
    Line keyLine{};
    size_t valueStart = 0;
    std::string value;
};

Located Locate(const std::string& text, const std::string& section, const std::string& key) {
    Located found;
    bool inside = false;
    for (const Line& line : SplitLines(text)) {
        std::string content = text.substr(line.start, line.end - line.start);
        std::string name;
        if (SectionName(content, name)) {
            if (found.sectionFound && inside) break; // only the first matching section counts
            inside = SameIgnoringAsciiCase(name, section);
            if (inside) {
                found.sectionFound = true;
                found.sectionEnd = line.next;
            }
            continue;
        }
        if (!inside) continue;
        if (!TrimSpacesAndTabs(content).empty()) found.sectionEnd = line.next;
        std::string k, v;
        if (!found.keyFound && KeyValue(content, k, v) && SameIgnoringAsciiCase(k, key)) {
            found.keyFound = true;
            found.keyLine = line;
            found.valueStart = line.start + content.find('=') + 1;
            found.value = v;
        }
    }
    return found;
}

// Surrounding blanks go, and one pair of matching quotes, as the Windows calls do.
std::string CleanValue(const std::string& raw) {
    std::string v = TrimSpacesAndTabs(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

} // namespace

IniProfile::IniProfile(std::string path, std::string section)
    : path_(std::move(path)), section_(std::move(section)) {}

bool IniProfile::Find(const std::string& key, std::string& value) const {
    auto text = ReadFileBytes(path_);
    if (!text) return false;
    Located found = Locate(*text, section_, key);
    if (!found.keyFound) return false;
    value = CleanValue(found.value);
    return true;
}

std::string IniProfile::ReadString(const std::string& key, const std::string& fallback) const {
    std::string value;
    if (!Find(key, value)) value = fallback;
    if (value.size() > kMaxValue) value.resize(kMaxValue);
    return value;
}

int IniProfile::ReadInteger(const std::string& key, int fallback) const {
    std::string value;
    if (!Find(key, value)) return fallback;
    size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
    int base = 10;
    if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    long long number = 0;
    size_t digits = 0;
    for (; i < value.size(); ++i, ++digits) {
        char c = value[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        number = number * base + d;
        if (number > 0xFFFFFFFFLL) number = 0xFFFFFFFFLL; // saturate; the result wraps to 32 bits
    }
    // A value that is not wholly a number ("0abc", "5x") is no number at all.
    if (digits == 0 || i != value.size()) return fallback;
    if (negative) number = -number;
    return static_cast<int>(static_cast<uint32_t>(number));
}

std::vector<std::pair<std::string, std::string>> IniProfile::ReadSection() const {
    std::vector<std::pair<std::string, std::string>> entries;
    auto text = ReadFileBytes(path_);
    if (!text) return entries;
    bool inside = false, seen = false;
    for (const Line& line : SplitLines(*text)) {
        std::string content = text->substr(line.start, line.end - line.start);
        std::string name, key, value;
        if (SectionName(content, name)) {
            if (seen && inside) break; // only the first matching section counts
            inside = SameIgnoringAsciiCase(name, section_);
            seen = seen || inside;
        } else if (inside && KeyValue(content, key, value)) {
            entries.emplace_back(key, TrimSpacesAndTabs(value));
        }
    }
    return entries;
}

bool IniProfile::WriteString(const std::string& key, const std::string& value) const {
    return WriteStrings({{key, value}});
}

bool IniProfile::WriteStrings(
    const std::vector<std::pair<std::string, std::string>>& values) const {
    std::string text = ReadFileBytes(path_).value_or(std::string());
    for (const auto& [key, value] : values) SetInText(text, key, value);
    return WriteFileAtomically(path_, text, createMode_, modeRule_);
}

void IniProfile::SetInText(std::string& text, const std::string& key,
                           const std::string& value) const {
    Located found = Locate(text, section_, key);
    if (found.keyFound) {
        text.replace(found.valueStart, found.keyLine.end - found.valueStart, value);
    } else if (found.sectionFound) {
        std::string line = key + "=" + value + "\r\n";
        size_t at = found.sectionEnd;
        if (at > 0 && at == text.size() && text.back() != '\n' && text.back() != '\r') {
            text += "\r\n";
            at = text.size();
        }
        text.insert(at, line);
    } else {
        if (!text.empty() && text.back() != '\n' && text.back() != '\r') text += "\r\n";
        text += "[" + section_ + "]\r\n" + key + "=" + value + "\r\n";
    }
}

} // namespace platform
