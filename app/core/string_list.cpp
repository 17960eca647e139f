#include "app/core/string_list.h"

#include "platform/text_file.h"

namespace app {

StringList SplitLines(const std::string& text) {
    StringList lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    }
    return lines;
}

std::string JoinLines(const StringList& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::optional<StringList> LoadStringList(const std::string& path) {
    auto bytes = platform::ReadFileBytes(path);
    if (!bytes) return std::nullopt;
    return SplitLines(*bytes);
}

bool SaveStringList(const std::string& path, const StringList& lines, unsigned createMode,
                    platform::FileMode modeRule) {
    return platform::WriteFileAtomically(path, JoinLines(lines), createMode, modeRule);
}

} // namespace app
