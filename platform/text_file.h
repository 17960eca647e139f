// Whole-file byte I/O shared by the INI access and the list files.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The file's bytes, or nothing when it cannot be opened or read.
std::optional<std::string> ReadFileBytes(const std::string& path);

// How the written file's permission bits are chosen.
enum class FileMode {
    KeepExisting, // an existing file keeps its bits; a new one gets the mode given
    Always,       // the mode given, whatever the file had (files that hold passwords)
};

// Writes an unnamed file in the same folder, gives it a name only once it is whole and on
// disk, and renames it over `path`: a crash, a kill or a full disk leaves the old file or
// the new one, never half of one, and no stray temporary file. Returns false (target
// untouched) on any failure.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned mode,
                         FileMode modeRule = FileMode::KeepExisting);

bool FileExists(const std::string& path);

// Writes all of `size` bytes to `fd`, across short writes and interruptions; false on an
// error (the descriptor's position is then unknown).
bool WriteAllBytes(int fd, const char* data, size_t size);

} // namespace platform
