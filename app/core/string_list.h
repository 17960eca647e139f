// The text files beside the executable are string lists: GBK lines, each followed by CR LF
// when written. Reading accepts CR LF, LF or CR, and a final line end adds no empty line.
#pragma once

#include "platform/text_file.h"

#include <optional>
#include <string>
#include <vector>

namespace app {

using StringList = std::vector<std::string>;

StringList SplitLines(const std::string& text);
std::string JoinLines(const StringList& lines);

// Nothing when the file cannot be read.
std::optional<StringList> LoadStringList(const std::string& path);
// Atomic replace; a new file gets `createMode` (every write, with FileMode::Always). False
// when it cannot be written.
bool SaveStringList(const std::string& path, const StringList& lines, unsigned createMode,
                    platform::FileMode modeRule = platform::FileMode::KeepExisting);

} // namespace app
