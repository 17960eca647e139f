// The SMTP client's helpers over byte strings and millisecond ticks, under the names the
// protocol code knows them by. The general ones live in platform/text.h and platform/tick.h
// and are only forwarded here; the field and address helpers are the client's own.
// Positions returned are 1-based; "not found" is a value.
#pragma once

#include "platform/text.h"
#include "platform/tick.h"

#include <cstdint>
#include <string>

namespace protoutil {

using platform::FindLineBreak;
using platform::ReplaceAll;
using platform::TextAfter;
using platform::TextBefore;
using platform::TickSpan;
using platform::TrimSpaces;
using TLineBreak = platform::LineBreak;

// Removes every byte of value 0x20 or below at both ends.
inline std::string Trim(const std::string& value) {
    return platform::TrimBlanks(value);
}
// 32-bit millisecond counter (monotonic, wraps).
inline uint32_t TickMs() {
    return platform::TickCount();
}
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

int CountChar(const std::string& value, char c);

} // namespace protoutil
