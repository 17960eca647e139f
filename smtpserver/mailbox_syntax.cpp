#include "smtpserver/mailbox_syntax.h"

#include <cstdio>
#include <cstring>

namespace smtpserver {

namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool IsAsciiAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsAtext(unsigned char c) {
    return IsAsciiAlnum(c) || (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c)) || c >= 0x80;
}

// A byte for a reason: itself when printable, else its value.
std::string Shown(unsigned char c) {
    if (c > 0x20 && c < 0x7F) return std::string("\"") + static_cast<char>(c) + "\"";
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", c);
    return text;
}

// Where the quoted string that starts at `open` ends (its closing quote), or npos.
size_t QuotedEnd(const std::string& text, size_t open) {
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i;
    }
    return std::string::npos;
}

bool Refuse(std::string& problem, std::string why) {
    problem = std::move(why);
    return false;
}

bool ValidQuotedLocalPart(const std::string& local, std::string& problem) {
    if (QuotedEnd(local, 0) != local.size() - 1)
        return Refuse(problem, "a quoted local part that does not end where the local part does");
    for (size_t i = 1; i + 1 < local.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(local[i]);
        // The recipient text the relay keeps finds an address between angle brackets.
        if (c == '<' || c == '>') return Refuse(problem, "an angle bracket inside the address");
        if (c == '\\') ++i;
    }
    return true;
}

bool ValidLocalPart(const std::string& local, std::string& problem) {
    if (local.empty()) return Refuse(problem, "an empty local part");
    if (local.front() == '"') return ValidQuotedLocalPart(local, problem);
    if (local.front() == '.' || local.back() == '.' || local.find("..") != std::string::npos)
        return Refuse(problem, "a dot at an end of the local part or two in a row");
    for (char ch : local) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == ' ') return Refuse(problem, "a space outside quotes");
        if (c != '.' && !IsAtext(c)) return Refuse(problem, Shown(c) + " in the local part");
    }
    return true;
}

bool ValidAddressLiteral(const std::string& domain, std::string& problem) {
    if (domain.size() < 3 || domain.back() != ']')
        return Refuse(problem, "an address literal without its closing bracket");
    for (size_t i = 1; i + 1 < domain.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(domain[i]);
        if (c < 33 || c > 126 || c == '[' || c == '\\' || c == ']')
            return Refuse(problem, Shown(c) + " in the address literal");
    }
    return true;
}

bool ValidDomain(const std::string& domain, std::string& problem) {
    if (domain.empty()) return Refuse(problem, "nothing after the @");
    if (domain.front() == '[') return ValidAddressLiteral(domain, problem);
    size_t start = 0;
    for (;;) {
        size_t end = domain.find('.', start);
        std::string label = domain.substr(start, end == std::string::npos ? end : end - start);
        if (label.empty()) return Refuse(problem, "an empty label in the domain");
        if (label.front() == '-' || label.back() == '-')
            return Refuse(problem, "a hyphen at an end of a domain label");
        for (char ch : label) {
            unsigned char c = static_cast<unsigned char>(ch);
            if (c == ' ') return Refuse(problem, "a space outside quotes");
            if (!IsAsciiAlnum(c) && c != '-' && c < 0x80)
                return Refuse(problem, Shown(c) + " in the domain");
        }
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// The "@" between the local part and the domain: the last one outside quotes.
size_t DomainAt(const std::string& address) {
    size_t at = std::string::npos;
    for (size_t i = 0; i < address.size(); ++i) {
        if (address[i] == '"') {
            size_t end = QuotedEnd(address, i);
            if (end == std::string::npos) break;
            i = end;
        } else if (address[i] == '@') {
            at = i;
        }
    }
    return at;
}

bool ValidMailbox(const std::string& address, std::string& problem) {
    size_t at = DomainAt(address);
    if (at == std::string::npos) return ValidLocalPart(address, problem);
    return ValidLocalPart(address.substr(0, at), problem) &&
           ValidDomain(address.substr(at + 1), problem);
}

// The closing bracket of a bracketed argument, quotes inside taken as they are, or npos.
size_t ClosingBracket(const std::string& text) {
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            size_t end = QuotedEnd(text, i);
            if (end == std::string::npos) return end;
            i = end;
        } else if (text[i] == '>') {
            return i;
        }
    }
    return std::string::npos;
}

} // namespace

TAddressArgument ParseAddressArgument(const std::string& trimmed) {
    TAddressArgument result;
    for (char c : trimmed)
        if (IsControl(static_cast<unsigned char>(c))) {
            result.problem = "a control character in the address";
            return result;
        }
    std::string address = trimmed;
    if (!trimmed.empty() && trimmed.front() == '<') {
        size_t close = ClosingBracket(trimmed);
        if (close == std::string::npos) {
            result.problem = "no closing angle bracket";
            return result;
        }
        if (close + 1 < trimmed.size() && trimmed[close + 1] != ' ') {
            result.problem = "text right after the closing angle bracket";
            return result;
        }
        address = trimmed.substr(1, close - 1);
        if (!address.empty() && address.front() == '@') {
            size_t colon = address.find(':');
            address = colon == std::string::npos ? std::string() : address.substr(colon + 1);
            if (address.empty()) {
                result.problem = "a source route without a mailbox after it";
                return result;
            }
        }
    } else if (trimmed.find_first_of("<>") != std::string::npos) {
        result.problem = "an angle bracket without its pair";
        return result;
    }
    if (!address.empty() && !ValidMailbox(address, result.problem)) return result;
    result.address = address;
    return result;
}

} // namespace smtpserver
