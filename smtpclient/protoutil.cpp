#include "smtpclient/protoutil.h"

#include "platform/tick.h"

namespace protoutil {

std::string TextBefore(const std::string& value, const std::string& delimiter) {
    size_t at = value.find(delimiter);
    return at == std::string::npos ? value : value.substr(0, at);
}

std::string TextAfter(const std::string& value, const std::string& delimiter) {
    size_t at = value.find(delimiter);
    return at == std::string::npos ? value : value.substr(at + delimiter.size());
}

std::string TrimSpaces(const std::string& value) {
    size_t b = value.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    size_t e = value.find_last_not_of(' ');
    return value.substr(b, e - b + 1);
}

std::string Trim(const std::string& value) {
    size_t b = 0, e = value.size();
    while (b < e && static_cast<unsigned char>(value[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(value[e - 1]) <= ' ') --e;
    return value.substr(b, e - b);
}

std::string TakeFieldRaw(std::string& value, const std::string& delimiter) {
    size_t at = value.find(delimiter);
    if (at == std::string::npos) {
        std::string field = value;
        value.clear();
        return field;
    }
    std::string field = value.substr(0, at);
    value.erase(0, at + delimiter.size());
    return field;
}

std::string TakeField(std::string& value, const std::string& delimiter) {
    std::string field = TrimSpaces(TakeFieldRaw(value, delimiter));
    value = TrimSpaces(value);
    return field;
}

std::string TakeQuotedField(std::string& value, char delimiter, char quote) {
    std::string field;
    bool quoted = false;
    size_t i = 0;
    while (i < value.size()) {
        char c = value[i];
        if (!quoted) {
            if (c == delimiter) {
                ++i;
                break;
            }
            if (c == quote) quoted = true;
        } else if (c == quote) {
            quoted = false;
        }
        field += c;
        ++i;
    }
    value.erase(0, i);
    return field;
}

std::string ExtractAddress(const std::string& value) {
    return Trim(TextBefore(TextAfter(value, "<"), ">"));
}

int FindLineBreak(const std::string& value, TLineBreak& found) {
    size_t at = value.find_first_of("\r\n");
    if (at == std::string::npos) {
        found = TLineBreak::None;
        return -1;
    }
    bool next = at + 1 < value.size();
    if (value[at] == '\r')
        found = next && value[at + 1] == '\n' ? TLineBreak::CRLF : TLineBreak::CR;
    else
        found = next && value[at + 1] == '\r' ? TLineBreak::LFCR : TLineBreak::LF;
    return static_cast<int>(at) + 1;
}

uint32_t TickMs() {
    return platform::TickCount();
}

uint32_t TickSpan(uint32_t oldTick, uint32_t newTick) {
    if (newTick >= oldTick) return newTick - oldTick;
    // A counter that went from the upper half to the lower half has wrapped.
    if (oldTick >= 0x80000000u && newTick < 0x80000000u) return newTick - oldTick;
    return oldTick - newTick;
}

std::string ReplaceAll(const std::string& value, const std::string& search,
                       const std::string& replacement) {
    if (value.empty() || search.empty()) return value;
    std::string out;
    size_t pos = 0;
    for (size_t at; (at = value.find(search, pos)) != std::string::npos; pos = at + search.size())
        out.append(value, pos, at - pos).append(replacement);
    out.append(value, pos, std::string::npos);
    return out;
}

int CountChar(const std::string& value, char c) {
    int n = 0;
    for (char x : value) n += x == c ? 1 : 0;
    return n;
}

} // namespace protoutil
