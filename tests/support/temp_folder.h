// A folder of its own for one test, named after the test, removed with everything in it
// (also what a test made read-only) when the test ends.
#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace testsupport {

struct TempFolder {
    std::filesystem::path path;

    explicit TempFolder(const std::string& kind)
        : path(std::filesystem::temp_directory_path() /
               (kind + "-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ignored;
        for (auto& entry : std::filesystem::recursive_directory_iterator(path, ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const char* name) const { return (path / name).string(); }
    size_t Entries() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path), {}));
    }
};

} // namespace testsupport
