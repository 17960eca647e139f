#include "platform/text.h"

namespace platform {

namespace {

template <typename IsTrimmed> std::string TrimIf(const std::string& value, IsTrimmed trimmed) {
    size_t b = 0, e = value.size();
    while (b < e && trimmed(static_cast<unsigned char>(value[b]))) ++b;
    while (e > b && trimmed(static_cast<unsigned char>(value[e - 1]))) --e;
    return value.substr(b, e - b);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::string TextBefore(const std::string& value, const std::string& delimiter) {
    size_t at = value.find(delimiter);
    return at == std::string::npos ? value : value.substr(0, at);
}

std::string TextAfter(const std::string& value, const std::string& delimiter) {
    size_t at = value.find(delimiter);
    return at == std::string::npos ? value : value.substr(at + delimiter.size());
}

std::string TrimSpaces(const std::string& value) {
    return TrimIf(value, [](unsigned char c) { return c == ' '; });
}

std::string TrimBlanks(const std::string& value) {
    return TrimIf(value, [](unsigned char c) { return c <= ' '; });
}

std::string TrimSpacesAndTabs(const std::string& value) {
    return TrimIf(value, [](unsigned char c) { return c == ' ' || c == '\t'; });
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

std::string AsciiUpper(std::string value) {
    for (char& c : value) c = Upper(c);
    return value;
}

std::string AsciiLower(std::string value) {
    for (char& c : value) c = Lower(c);
    return value;
}

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

int FindLineBreak(const std::string& value, LineBreak& found) {
    size_t at = value.find_first_of("\r\n");
    if (at == std::string::npos) {
        found = LineBreak::None;
        return -1;
    }
    bool next = at + 1 < value.size();
    if (value[at] == '\r')
        found = next && value[at + 1] == '\n' ? LineBreak::CRLF : LineBreak::CR;
    else
        found = next && value[at + 1] == '\r' ? LineBreak::LFCR : LineBreak::LF;
    return static_cast<int>(at) + 1;
}

std::string EscapeControls(const std::string& utf8) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(utf8.size());
    auto escape = [&](unsigned char byte) {
        escaped += "\\x";
        escaped += kHex[byte >> 4];
        escaped += kHex[byte & 0x0F];
    };
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto byte = static_cast<unsigned char>(utf8[i]);
        auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) { // a C1 control
            escape(byte);
            escape(next);
            ++i;
        } else {
            escaped += static_cast<char>(byte);
        }
    }
    return escaped;
}

} // namespace platform
