#include "sendmail/arguments.h"

#include "sendmail/message.h"
#include "smtpclient/codecs.h"
#include "smtpserver/mailbox_syntax.h"

namespace sendmail {

namespace {

bool HasControl(const std::string& text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

bool IsAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The length of the UTF-8 sequence starting at `text[i]`, or 0 when none starts there.
size_t Utf8Length(const std::string& text, size_t i) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80         ? 1
                    : (lead >> 5) == 6  ? 2
                    : (lead >> 4) == 14 ? 3
                    : (lead >> 3) == 30 ? 4
                                        : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    return length;
}

bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8Length(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string Quoted(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

std::string AddressProblem(const std::string& address) {
    if (HasControl(address)) return "it holds a control character";
    smtpserver::TAddressArgument parsed = smtpserver::ParseAddressArgument("<" + address + ">");
    if (!parsed.problem.empty()) return parsed.problem;
    if (parsed.address.empty()) return "it is empty";
    return std::string();
}

int CheckArguments(const Options& options, std::string& error) {
    auto refuse = [&](const std::string& what, const std::string& value, const std::string& why) {
        error = what + " \"" + value + "\" is refused: " + why;
        return kExitUsage;
    };
    if (HasControl(options.sender))
        return refuse("the sender (-f)", options.sender, "it holds a control character");
    if (!options.sender.empty() && options.sender != "<>")
        if (std::string why = AddressProblem(options.sender); !why.empty())
            return refuse("the sender (-f)", options.sender, why);
    if (HasControl(options.fullName))
        return refuse("the full name (-F)", options.fullName, "it holds a control character");
    for (const std::string& argument : options.recipients) {
        if (HasControl(argument))
            return refuse("the recipient", argument, "it holds a control character");
        for (const std::string& address : AddressesIn(argument))
            if (std::string why = AddressProblem(address); !why.empty())
                return refuse("the recipient", address, why);
    }
    return kExitOk;
}

std::string DisplayName(const std::string& fullName) {
    if (IsAscii(fullName)) return Quoted(fullName);
    bool utf8 = IsUtf8(fullName);
    const std::string prefix = utf8 ? "=?UTF-8?B?" : "=?unknown-8bit?B?";
    // 75 characters a word: the prefix, "?=", and Base64 of at most this many bytes.
    const size_t maxBytes = (75 - prefix.size() - 2) / 4 * 3;
    std::string words;
    for (size_t start = 0; start < fullName.size();) {
        size_t end = start;
        // Whole characters only: a word must decode on its own.
        while (end < fullName.size()) {
            size_t length = utf8 ? Utf8Length(fullName, end) : 1;
            if (end + length - start > maxBytes) break;
            end += length;
        }
        if (!words.empty()) words += ' ';
        words += prefix + codecs::Base64Encode(fullName.substr(start, end - start)) + "?=";
        start = end;
    }
    return words;
}

} // namespace sendmail
