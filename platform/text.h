// The one home of the small helpers over byte strings that every layer uses. Bytes stay
// bytes: only ASCII letters change case and only ASCII blanks are trimmed, so GBK text passes
// through untouched.
#pragma once

#include <string>

namespace platform {

// The part before the first `delimiter`; the whole value when it does not occur.
std::string TextBefore(const std::string& value, const std::string& delimiter);
// The part after the first `delimiter`; the whole value when it does not occur.
std::string TextAfter(const std::string& value, const std::string& delimiter);
// Removes spaces (0x20 only) at both ends.
std::string TrimSpaces(const std::string& value);
// Removes every byte of value 0x20 or below at both ends.
std::string TrimBlanks(const std::string& value);
// Removes spaces and tabs at both ends (the INI files' rule).
std::string TrimSpacesAndTabs(const std::string& value);
// Every non-overlapping occurrence, left to right; an empty value or search: unchanged.
std::string ReplaceAll(const std::string& value, const std::string& search,
                       const std::string& replacement);

std::string AsciiUpper(std::string value);
std::string AsciiLower(std::string value);
bool SameIgnoringAsciiCase(const std::string& a, const std::string& b);

enum class LineBreak { None, CR, LF, CRLF, LFCR };
// UTF-8 text for a log line: every control byte (C0, DEL) and every C1 control (U+0080 to
// U+009F) written as \xNN, so that nothing a peer sent can end the line, cut it (NUL) or
// drive the terminal or journal viewer that shows it (ESC sequences).
std::string EscapeControls(const std::string& utf8);

// 1-based position of the first CR or LF, or -1; `found` tells which terminator stands there
// (CRLF and LFCR when the pair is there, else the single byte, also at the very end).
int FindLineBreak(const std::string& value, LineBreak& found);

} // namespace platform
