#include "store/file_location.h"

#include "platform/text_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace store {

namespace {

// Writable for the effective (file system) user, as the writes will be made.
bool Writable(const std::string& folder) {
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool MakeFolder(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) == 0) return true;
    struct stat info {};
    return errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string WithSlash(std::string path) {
    if (!path.empty() && path.back() != '/') path += '/';
    return path;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Laid out by `make install` or the package: <prefix>/bin beside <prefix>/share/vantrosmtp.
bool InstalledLayout(const std::string& programDir) {
    return IsFolder(programDir + "../share/vantrosmtp");
}

} // namespace

FileLocation ChooseFileFolder(const std::string& programDir,
                              const std::function<const char*(const char*)>& environment,
                              bool make) {
    std::string beside = WithSlash(programDir);
    // Settings already there are the user's: they stay in use wherever the program lies.
    if (platform::FileExists(beside + "brontalnow.ini")) return {beside, true};
    if (!InstalledLayout(beside) && Writable(beside)) return {beside, true};
    const char* configHome = environment("XDG_CONFIG_HOME");
    std::string base;
    if (configHome && *configHome == '/') {
        base = configHome; // a relative value is invalid by the XDG rules and is ignored
    } else {
        const char* home = environment("HOME");
        if (!home || !*home) return {};
        base = WithSlash(home) + ".config";
        if (make) MakeFolder(base, 0700);
    }
    std::string folder = WithSlash(base) + "vantrosmtp";
    // Owner-only: it holds the upstream passwords and the user's mail.
    if (make && !MakeFolder(folder, 0700)) return {};
    return {WithSlash(folder), false};
}

const char* ProcessEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value || std::string(name) != "HOME") return value;
    const passwd* account = ::getpwuid(::geteuid());
    return account && account->pw_dir && *account->pw_dir ? account->pw_dir : nullptr;
}

std::vector<std::string> SampleMessageCandidates(const std::string& fileFolder,
                                                 const std::string& programDir) {
    std::vector<std::string> candidates = {fileFolder + "kalvex.eml"};
    std::string beside = WithSlash(programDir);
    if (beside != fileFolder) candidates.push_back(beside + "kalvex.eml");
    candidates.push_back(beside + "../share/vantrosmtp/kalvex.eml");
    return candidates;
}

std::string ProgramDirectory() {
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "./";
    return exe.parent_path().string() + "/";
}

std::string SettingsPathOf(const std::string& fileFolder) {
    return fileFolder + "brontalnow.ini";
}

std::string SpoolFolderOf(const std::string& fileFolder) {
    return fileFolder.empty() ? std::string() : fileFolder + "spool";
}

} // namespace store
