#include "sendmail/message.h"

#include "platform/text.h"
#include "sendmail/arguments.h"

#include <algorithm>
#include <cctype>

namespace sendmail {

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

PreparedLines::PreparedLines(const Prepared& message) : message_(message), body_(message.body) {
    for (const std::string& line : message.headerLines)
        size_ += static_cast<long long>(line.size()) + 2;
    InputLines body = message.body;
    for (std::string line; body.Next(line);) size_ += static_cast<long long>(line.size()) + 2;
}

bool PreparedLines::Next(std::string& line) {
    if (nextHeader_ < message_.headerLines.size()) {
        line = message_.headerLines[nextHeader_++];
        return true;
    }
    return body_.Next(line);
}

bool PreparedLines::Rewind() {
    nextHeader_ = 0;
    body_ = message_.body;
    return true;
}

namespace {

// What the header block told: the lines kept (Bcc dropped), the values of To, Cc and Bcc for
// -t, and which of the headers an MTA adds were there.
struct HeaderBlock {
    std::vector<std::string> kept;
    std::vector<std::string> addressValues;
    bool hasDate = false, hasMessageId = false, hasFrom = false;
    bool bodyStartsBlank = true; // no body, or one parted from the headers by its blank line
};

// Reads the header block from `reader`, leaving `bodyStart` at the first line that is none.
HeaderBlock ReadHeaderBlock(InputLines reader, InputLines& bodyStart) {
    HeaderBlock block;
    std::string line, current;
    bool dropping = false;
    for (bool first = true;; first = false) {
        bodyStart = reader;
        if (!reader.Next(line)) break;
        if (IsContinuation(line) && !first) {
            if (!current.empty()) block.addressValues.back() += " " + line;
            if (!dropping) block.kept.push_back(line);
            continue;
        }
        std::string name = HeaderName(line);
        if (name.empty()) {
            block.bodyStartsBlank = line.empty();
            break;
        }
        block.hasDate |= name == "date";
        block.hasMessageId |= name == "message-id";
        block.hasFrom |= name == "from";
        current = name == "to" || name == "cc" || name == "bcc" ? name : std::string();
        if (!current.empty()) block.addressValues.push_back(line.substr(line.find(':') + 1));
        // Bcc recipients must not learn of each other: the header never goes out.
        dropping = name == "bcc";
        if (!dropping) block.kept.push_back(line);
    }
    return block;
}

} // namespace

int PrepareMessage(InputText input, const Options& options, const Identity& identity,
                   Prepared& prepared, std::string& error) {
    if (input.Size() == 0) {
        error = "empty message: nothing was given on standard input";
        return kExitBadMessage;
    }
    if (input.HoldsNul()) {
        error = "the message holds a NUL byte, which SMTP cannot carry";
        return kExitBadMessage;
    }
    prepared.input = std::move(input);
    HeaderBlock block =
        ReadHeaderBlock(InputLines(prepared.input, options.dotEndsInput), prepared.body);
    if (!block.hasDate) block.kept.push_back(DateHeader(identity.now));
    if (!block.hasMessageId) block.kept.push_back(MessageIdHeader(identity));
    if (!block.hasFrom) block.kept.push_back(FromHeader(options, identity));
    if (!block.bodyStartsBlank) block.kept.emplace_back(); // the body's separator
    prepared.headerLines = std::move(block.kept);
    prepared.recipients.clear();
    for (const std::string& argument : options.recipients)
        for (const std::string& address : AddressesIn(argument))
            AddOnce(prepared.recipients, address);
    if (options.recipientsFromHeaders)
        for (const std::string& value : block.addressValues)
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
