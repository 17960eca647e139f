#include "blocksock/ipaddr.h"

#include "platform/text.h"

#include <cctype>
#include <cstdio>

namespace blocksock {

namespace {

// Splits off the text before the first `delimiter` (all of it when absent); `text` keeps
// the rest. Both are trimmed of spaces.
std::string SplitPiece(std::string& text, char delimiter) {
    size_t at = text.find(delimiter);
    std::string piece;
    if (at == std::string::npos) {
        piece = text;
        text.clear();
    } else {
        piece = text.substr(0, at);
        text = text.substr(at + 1);
    }
    text = platform::TrimSpaces(text);
    return platform::TrimSpaces(piece);
}

// Decimal value of a text, -1 when it is not a (reasonably sized) number.
long DecimalValue(const std::string& s) {
    if (s.empty() || s.size() > 9) return -1;
    long v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// Hexadecimal value 0..FFFF (leading zeros allowed), or -1.
long Hex16(const std::string& s) {
    if (s.empty()) return -1;
    long v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return -1;
        v = v * 16 + d;
        if (v > 0xFFFF) return -1;
    }
    return v;
}

bool IsByte(const std::string& piece) {
    long v = DecimalValue(piece);
    return v >= 0 && v <= 255;
}

} // namespace

bool IsIPv4Literal(const std::string& text) {
    std::string rest = text;
    for (int i = 0; i < 3; ++i)
        if (!IsByte(SplitPiece(rest, '.'))) return false;
    return IsByte(rest);
}

bool IsIPv6Literal(const std::string& text) {
    if (text == "::") return true;
    std::string rest = text;
    int parts = 0;
    int emptyGroups = 0;
    bool first = true;
    while (!rest.empty()) {
        std::string piece = SplitPiece(rest, ':');
        if (piece.empty() && !first && ++emptyGroups > 1) return false;
        first = false;
        ++parts;
        if (piece.empty()) continue;
        if (parts > 8) return false;
        if (rest.empty()) {
            size_t percent = piece.find('%');
            std::string zone = percent == std::string::npos ? piece : piece.substr(percent + 1);
            if (Hex16(zone) < 0) return false;
            if (percent != std::string::npos) piece = piece.substr(0, percent);
            if (Hex16(piece) < 0) return false;
            return parts > 1 || emptyGroups > 0;
        }
        if (Hex16(piece) < 0) return false;
    }
    return false;
}

std::string IPv4ToBytes(const std::string& text) {
    std::string rest = text;
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        long v = DecimalValue(SplitPiece(rest, '.'));
        bytes += static_cast<char>(v < 0 ? 0 : v % 256);
    }
    return bytes;
}

std::string ExpandIPv6Text(const std::string& text) {
    if (text.empty()) return std::string();
    int colons = 0;
    for (char c : text) colons += c == ':' ? 1 : 0;
    if (colons > 7) return std::string();
    std::string t = text;
    if (t.front() == ':') t = "0" + t;
    if (t.back() == ':') t += "0";
    std::string fill;
    for (int i = 0; i < 8 - colons; ++i) fill += ":0";
    fill += ":";
    std::string out;
    size_t pos = 0;
    for (size_t at; (at = t.find("::", pos)) != std::string::npos; pos = at + 2)
        out += t.substr(pos, at - pos) + fill;
    out += t.substr(pos);
    return out;
}

IPv6Bytes ParseIPv6(const std::string& text) {
    IPv6Bytes bytes{};
    uint16_t groups[8] = {};
    std::string rest = ExpandIPv6Text(text);
    if (rest.empty()) return bytes;
    int index = 0;
    while (!rest.empty()) {
        if (index >= 8) return IPv6Bytes{};
        std::string piece = SplitPiece(rest, ':');
        if (piece == "@") break;
        if (!piece.empty()) {
            long v = Hex16(piece);
            if (v < 0) return IPv6Bytes{};
            groups[index] = static_cast<uint16_t>(v);
        }
        ++index;
    }
    for (int i = 0; i < 8; ++i) {
        bytes[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(groups[i] >> 8);
        bytes[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(groups[i] & 0xFF);
    }
    return bytes;
}

std::string FormatIPv6(const IPv6Bytes& bytes) {
    uint16_t groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<uint16_t>((bytes[static_cast<size_t>(2 * i)] << 8) |
                                          bytes[static_cast<size_t>(2 * i + 1)]);
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int start = i;
        while (i < 8 && groups[i] == 0) ++i;
        if (i - start > bestLength) {
            bestStart = start;
            bestLength = i - start;
        }
    }
    std::string out;
    bool written = false;
    for (int i = 0; i < 8; ++i) {
        if (bestLength > 0 && i >= bestStart && i < bestStart + bestLength) continue;
        if (bestLength > 0 && i == bestStart + bestLength) out += written ? ":" : "::";
        char hex[8];
        std::snprintf(hex, sizeof(hex), "%x:", groups[i]);
        out += hex;
        written = true;
    }
    if (!written) return "::0";
    if (bestLength > 0 && bestStart + bestLength == 8)
        out += ":";
    else
        out.pop_back();
    return out;
}

void DescriptorSetAdd(int handle, DescriptorSet& set) {
    if (set.count >= DescriptorSet::kCapacity) return;
    set.handles[set.count++] = handle;
}

void DescriptorSetClear(DescriptorSet& set) {
    set.count = 0;
}

} // namespace blocksock
