#include "smtpclient/protoutil.h"

namespace protoutil {

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

int CountChar(const std::string& value, char c) {
    int n = 0;
    for (char x : value) n += x == c ? 1 : 0;
    return n;
}

} // namespace protoutil
