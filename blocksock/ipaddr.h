// Recognising and converting IPv4 and IPv6 address texts, and the descriptor set of the
// readiness wait. Pure functions over byte strings; nothing is looked up.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace blocksock {

using IPv6Bytes = std::array<uint8_t, 16>;

// A dotted quad: four decimal bytes 0..255 of digits only (leading zeros allowed); spaces
// next to the dots are tolerated.
bool IsIPv4Literal(const std::string& text);
// An IPv6 text of hexadecimal groups with at most one "::" and an optional "%zone" that is
// itself a hexadecimal number; no dotted IPv4 tail.
bool IsIPv6Literal(const std::string& text);
// Four bytes in text order, each piece taken modulo 256 (0 when not a number).
std::string IPv4ToBytes(const std::string& text);
// "::" replaced by the zero groups it stands for; empty for an empty text or one with more
// than seven colons.
std::string ExpandIPv6Text(const std::string& text);
// 16 bytes, most significant byte of each group first; all zero for a malformed text.
IPv6Bytes ParseIPv6(const std::string& text);
// Lower-case text with the first longest run of zero groups written as "::".
std::string FormatIPv6(const IPv6Bytes& bytes);

// The Windows descriptor-set layout: a count and up to 64 handles. Kept for callers that
// build one; the sockets here wait with poll() and hold no set.
struct DescriptorSet {
    static constexpr uint32_t kCapacity = 64;
    uint32_t count = 0;
    int handles[kCapacity] = {};
};
// Adding to a full set does nothing.
void DescriptorSetAdd(int handle, DescriptorSet& set);
void DescriptorSetClear(DescriptorSet& set);

} // namespace blocksock
