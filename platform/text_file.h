// Whole-file byte I/O shared by the INI access and the list files.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The file's bytes, or nothing when it cannot be opened or read.
std::optional<std::string> ReadFileBytes(const std::string& path);

// Writes through a temporary file in the same folder and renames it over `path`, so that a
// crash or a full disk never leaves a half-written file. A new file gets `createMode`; an
// existing one keeps its permission bits. Returns false (target untouched) on any failure.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned createMode);

bool FileExists(const std::string& path);

} // namespace platform
