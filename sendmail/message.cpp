#include "sendmail/message.h"

#include "platform/text.h"
#include "sendmail/arguments.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace sendmail {

std::vector<std::string> SplitInput(const std::string& input, bool dotEndsInput) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find('\n', start);
        std::string line = input.substr(start, end == std::string::npos ? end : end - start);
        if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
        if (dotEndsInput && line == ".") break;
        lines.push_back(std::move(line));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

namespace {

// "Name" of a "Name: value" header line, lower-cased; empty when the line is no header.
std::string HeaderName(const std::string& line) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return std::string();
    for (size_t i = 0; i < colon; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c <= 32 || c >= 127) return std::string();
    }
    return platform::AsciiLower(line.substr(0, colon));
}

bool IsContinuation(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

// One address of a list entry: "Name <a@b>", "a@b (comment)", "group: a@b".
std::string AddressOf(std::string entry) {
    size_t open = entry.find('<');
    if (open != std::string::npos) {
        size_t close = entry.find('>', open);
        return platform::TrimBlanks(entry.substr(
            open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
    }
    std::string bare;
    int depth = 0;
    for (char c : entry) { // comments go
        if (c == '(') ++depth;
        if (depth == 0) bare += c;
        if (c == ')' && depth > 0) --depth;
    }
    size_t colon = bare.find(':');
    if (colon != std::string::npos && bare.find('@') > colon) bare = bare.substr(colon + 1);
    bare.erase(std::remove(bare.begin(), bare.end(), ';'), bare.end());
    return platform::TrimBlanks(bare);
}

void AddOnce(std::vector<std::string>& list, const std::string& address) {
    if (!address.empty() && std::find(list.begin(), list.end(), address) == list.end())
        list.push_back(address);
}

std::string DateHeader(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::strftime(text, sizeof(text), "Date: %a, %d %b %Y %H:%M:%S %z", &local);
    return text;
}

std::string MessageIdHeader(const Identity& identity) {
    std::tm utc{};
    gmtime_r(&identity.now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &utc);
    return "Message-ID: <" + std::string(stamp) + "." + std::to_string(identity.uniquifier) +
           ".vantrosmtp@" + identity.hostName + ">";
}

std::string FromHeader(const Options& options, const Identity& identity) {
    if (options.fullName.empty()) return "From: " + identity.sender;
    return "From: " + DisplayName(options.fullName) + " <" + identity.sender + ">";
}

} // namespace

std::vector<std::string> AddressesIn(const std::string& value) {
    std::vector<std::string> addresses;
    std::string entry;
    bool quoted = false;
    int angle = 0, comment = 0;
    auto flush = [&] {
        AddOnce(addresses, AddressOf(entry));
        entry.clear();
    };
    for (char c : value) {
        if (c == '"' && comment == 0) quoted = !quoted;
        if (!quoted) {
            angle += c == '<' ? 1 : (c == '>' && angle > 0 ? -1 : 0);
            comment += c == '(' ? 1 : (c == ')' && comment > 0 ? -1 : 0);
        }
        if (c == ',' && !quoted && angle == 0 && comment == 0)
            flush();
        else
            entry += c;
    }
    flush();
    return addresses;
}

int PrepareMessage(std::string input, const Options& options, const Identity& identity,
                   Prepared& prepared, std::string& error) {
    if (input.empty()) {
        error = "empty message: nothing was given on standard input";
        return kExitBadMessage;
    }
    if (input.find('\0') != std::string::npos) {
        error = "the message holds a NUL byte, which SMTP cannot carry";
        return kExitBadMessage;
    }
    std::vector<std::string> lines = SplitInput(input, options.dotEndsInput);
    std::string().swap(input);             // its lines hold it now: the input is not held twice
    std::vector<std::string> headerValues; // To, Cc and Bcc, for -t
    bool hasDate = false, hasMessageId = false, hasFrom = false;
    size_t end = 0; // the end of the header block
    std::string current;
    bool dropping = false;
    std::vector<std::string> kept;
    for (; end < lines.size(); ++end) {
        const std::string& line = lines[end];
        if (IsContinuation(line) && end > 0) {
            if (!current.empty()) headerValues.back() += " " + line;
            if (!dropping) kept.push_back(line);
            continue;
        }
        std::string name = HeaderName(line);
        if (name.empty()) break;
        hasDate |= name == "date";
        hasMessageId |= name == "message-id";
        hasFrom |= name == "from";
        current = name == "to" || name == "cc" || name == "bcc" ? name : std::string();
        if (!current.empty()) headerValues.push_back(line.substr(line.find(':') + 1));
        // Bcc recipients must not learn of each other: the header never goes out.
        dropping = name == "bcc";
        if (!dropping) kept.push_back(line);
    }
    if (!hasDate) kept.push_back(DateHeader(identity.now));
    if (!hasMessageId) kept.push_back(MessageIdHeader(identity));
    if (!hasFrom) kept.push_back(FromHeader(options, identity));
    if (end < lines.size() && !lines[end].empty()) kept.emplace_back(); // the body's separator
    // Moved, not copied: a large body is held once.
    kept.insert(kept.end(), std::make_move_iterator(lines.begin() + static_cast<long>(end)),
                std::make_move_iterator(lines.end()));
    prepared.lines = std::move(kept);
    prepared.recipients.clear();
    for (const std::string& argument : options.recipients)
        for (const std::string& address : AddressesIn(argument))
            AddOnce(prepared.recipients, address);
    if (options.recipientsFromHeaders)
        for (const std::string& value : headerValues)
            for (const std::string& address : AddressesIn(value))
                AddOnce(prepared.recipients, address);
    // A header's address that is no mailbox would fail at the relay's RCPT, or, spooled,
    // write a line of its own into the spool file's envelope.
    for (const std::string& address : prepared.recipients)
        if (std::string why = AddressProblem(address); !why.empty()) {
            error = "the recipient \"" + address + "\" in the message's headers is refused: " + why;
            return kExitBadMessage;
        }
    if (prepared.recipients.empty()) {
        error = "no recipients: none given as arguments" +
                std::string(options.recipientsFromHeaders ? " or in To, Cc and Bcc" : "");
        return kExitNoRecipients;
    }
    return kExitOk;
}

} // namespace sendmail
