// A spool folder of a test's own, removed at its end, and the kinds of file it holds (the
// emptied ones kept for reuse left out).
#pragma once

#include "tests/support/temp_folder.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// Missing at first: the spool makes it itself.
struct SpoolFolderScene : TempFolder {
    SpoolFolderScene() : TempFolder("spool") { std::filesystem::remove_all(path); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        if (!std::filesystem::exists(path)) return names;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            if (entry.path().filename().string().rfind("free-", 0) != 0) // emptied, for reuse
                names.push_back(entry.path().extension().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace testsupport
