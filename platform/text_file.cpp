#include "platform/text_file.h"

#include <cerrno>
#include <fcntl.h>
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

bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned createMode) {
    mode_t mode = static_cast<mode_t>(createMode);
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
    std::string temp = path + ".tmp" + std::to_string(::getpid());
    Fd file{::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode)};
    if (file.fd < 0) return false;
    ::fchmod(file.fd, mode); // the umask must not widen or narrow what the file had
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(file.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(file.fd) != 0 || ::close(file.fd) != 0) {
        file.fd = -1;
        ::unlink(temp.c_str());
        return false;
    }
    file.fd = -1;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace platform
