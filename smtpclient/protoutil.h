// Small stateless helpers over byte strings and millisecond ticks for the SMTP client and
// the blocking socket. Positions returned are 1-based; "not found" is a value.
#pragma once

#include <cstdint>
#include <string>

namespace protoutil {

// The part before the first `delimiter`; the whole value when it does not occur.
std::string TextBefore(const std::string& value, const std::string& delimiter);
// The part after the first `delimiter`; the whole value when it does not occur.
std::string TextAfter(const std::string& value, const std::string& delimiter);
// Removes spaces (0x20 only) at both ends.
std::string TrimSpaces(const std::string& value);
// Removes every byte of value 0x20 or below at both ends.
std::string Trim(const std::string& value);
// Returns TextBefore(value, delimiter); `value` keeps what follows the delimiter (empty
// when there is none).
std::string TakeFieldRaw(std::string& value, const std::string& delimiter);
// TakeFieldRaw, then TrimSpaces on the field and on the rest.
std::string TakeField(std::string& value, const std::string& delimiter);
// The next field up to `delimiter`, which does not count inside `quote`s (the quotes stay
// in the field); `value` keeps the rest.
std::string TakeQuotedField(std::string& value, char delimiter, char quote);
// The address inside angle brackets, or the trimmed value itself.
std::string ExtractAddress(const std::string& value);

enum class TLineBreak { None, CR, LF, CRLF, LFCR };
// 1-based position of the first CR or LF, or -1; `found` tells which terminator stands there.
int FindLineBreak(const std::string& value, TLineBreak& found);

// 32-bit millisecond counter (monotonic, wraps).
uint32_t TickMs();
// Elapsed milliseconds from `oldTick` to `newTick`, allowing for one wrap of the counter.
uint32_t TickSpan(uint32_t oldTick, uint32_t newTick);

std::string ReplaceAll(const std::string& value, const std::string& search,
                       const std::string& replacement);
int CountChar(const std::string& value, char c);

} // namespace protoutil
