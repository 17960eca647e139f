#include "platform/text_file.h"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};
} // namespace

std::optional<std::string> ReadFileBytes(const std::string& path) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(file.fd, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAndSync(int fd, const std::string& bytes) {
    return WriteAllBytes(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
}

// The file as an unnamed inode of the target's folder (nothing to clean up if we are killed
// while writing), or -1 where the file system cannot make one.
int OpenUnnamed(const std::string& path, mode_t mode) {
#ifdef O_TMPFILE
    return ::open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
#else
    (void)path;
    (void)mode;
    return -1;
#endif
}

// Names a whole unnamed file; the name lives only between this call and the rename.
bool LinkUnnamed(int fd, const std::string& temp) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Between naming a whole file and renaming it there are a few microseconds in which a kill
// leaves the name behind. Such a name of a process that no longer runs is removed before
// the same file is written again.
void RemoveStaleTemporaries(const std::string& path) {
    std::string folder = FolderOf(path);
    std::string prefix =
        path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1) + ".tmp";
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    if (!listing) return;
    while (dirent* entry = ::readdir(listing.get())) {
        std::string name = entry->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
            continue;
        pid_t owner = static_cast<pid_t>(std::stol(digits));
        if (owner != ::getpid() && ::kill(owner, 0) != 0 && errno == ESRCH)
            ::unlink((folder + "/" + name).c_str());
    }
}

} // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned createMode,
                         FileMode modeRule) {
    mode_t mode = static_cast<mode_t>(createMode);
    struct stat existing {};
    if (modeRule == FileMode::KeepExisting && ::stat(path.c_str(), &existing) == 0)
        mode = existing.st_mode & 07777;
    RemoveStaleTemporaries(path);
    std::string temp = path + ".tmp" + std::to_string(::getpid());
    Fd file{OpenUnnamed(path, mode)};
    bool unnamed = file.fd >= 0;
    if (!unnamed) file.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (file.fd < 0) return false;
    ::fchmod(file.fd, mode); // the umask must not widen or narrow what the file had
    bool written = WriteAndSync(file.fd, bytes) && (!unnamed || LinkUnnamed(file.fd, temp));
    if (::close(file.fd) != 0) written = false;
    file.fd = -1;
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool WriteAllBytes(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace platform
