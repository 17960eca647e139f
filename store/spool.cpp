#include "store/spool.h"

#include "platform/background.h"
#include "platform/text_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace store {

namespace {

constexpr const char* kMagic = "VANTRO-SPOOL 1";
// The least time between two syncs: what arrives meanwhile gathers for the next one.
constexpr std::chrono::milliseconds kBatchWindow{50};
// Emptied files kept for reuse. Creating a file per message and deleting it after its relay
// makes the file system search its inode table past every recently deleted inode, at each
// creation: that search cost more than everything else the relay does per message. The bound
// is far above what one sync's batch frees (hundreds when a sync takes a while), as files
// removed above it come back as creations, and creations then pay that search again.
constexpr size_t kMaxFreeFiles = 4096;
// Files the syncer makes ahead when fewer are free, so that a message's first piece does not
// wait for an inode to be allocated on the main thread: at the first start, and whenever more
// messages are on their way than ever before.
constexpr size_t kSpareFiles = 128;
constexpr const char* kFreePrefix = "free-";
// Files made ahead at a time while a start tops its free files up: between two chunks the
// syncer attends to a sync that is due.
constexpr size_t kAheadChunk = 16;
// Emptied files the syncer opens ahead for the next messages: the main thread then spends no
// open on a message before its "250 OK ". Few, as each holds a descriptor.
constexpr size_t kReadyFiles = 32;
// A first piece up to this size goes out in one write with the header.
constexpr size_t kHeaderWithPieceBytes = 64 * 1024;

// A message's name: it sorts by arrival, across runs; `number` tells apart the names of one
// nanosecond.
std::string MessageName(unsigned long long number) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    char name[64];
    std::snprintf(
        name, sizeof(name), "%020lld-%08llu",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
        number % 100000000ULL);
    return name;
}

// A file that is no spooled message, kept for the user: "<id>.unreadable".
constexpr const char* kSetAsideSuffix = ".unreadable";

bool HasSuffix(const std::string& name, const std::string& suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The lines up to the first empty one, and where the rest starts.
std::vector<std::string> HeaderLines(const std::string& bytes, size_t& rest) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (;;) {
        size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            rest = std::string::npos;
            return lines;
        }
        std::string line = bytes.substr(at, end - at);
        at = end + 2;
        if (line.empty()) break;
        lines.push_back(std::move(line));
    }
    rest = at;
    return lines;
}

// Opens a reused file for writing. The syncer emptied it already; truncating it again here
// would make ext4 (its "auto_da_alloc") write the file out at our close, a disk write on the
// main thread for every message. Only a file found with content (left by a crash) is emptied.
int OpenEmptied(int folder, const std::string& name) {
    int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || (info.st_size != 0 && ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A new empty file for a message to come, never one that exists; owner-only, as the messages
// in it are the user's mail.
int CreateFreeFile(int folder, const std::string& name) {
    return ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                    0600);
}

// Empties a relayed message's file. Through a descriptor of our own, so that the close here,
// on the syncer, settles what ext4 does after a truncation, and not the main thread's close.
// The folder's names, read from its start through a descriptor of the listing's own (a
// duplicate shares the folder descriptor's position, which an earlier listing left at the end).
std::unique_ptr<DIR, int (*)(DIR*)> ListingOf(int folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(::dup(folder)), ::closedir);
    if (listing) ::rewinddir(listing.get());
    return listing;
}

bool EmptyFile(int folder, const std::string& name) {
    int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool emptied = ::ftruncate(fd, 0) == 0;
    return ::close(fd) == 0 && emptied;
}

} // namespace

SpooledText::SpooledText(const std::string& path) {
    // Without an access time: a message just written would otherwise have its inode written
    // once more for each delivery's read. Only the file's owner may ask so; anyone else reads
    // as usual.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME | O_NOFOLLOW);
    if (fd_ < 0 && errno == EPERM) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        Fail("cannot open " + path);
        return;
    }
    // The header ends at the first empty line; recipients can make it long, so it is read
    // in pieces, up to a bound no real header comes near.
    constexpr size_t kMaxHeader = 1024 * 1024;
    std::string header;
    size_t end = std::string::npos;
    char buffer[4096];
    while (end == std::string::npos && header.size() < kMaxHeader) {
        ssize_t n = ::read(fd_, buffer, sizeof(buffer));
        if (n <= 0) break;
        header.append(buffer, static_cast<size_t>(n));
        end = header.find("\r\n\r\n");
    }
    size_t rest = std::string::npos;
    std::vector<std::string> lines =
        end == std::string::npos ? std::vector<std::string>() : HeaderLines(header, rest);
    struct stat info {};
    if (rest == std::string::npos || lines.size() != 3 || lines[0] != kMagic ||
        ::fstat(fd_, &info) != 0) {
        Fail("not a spooled message: " + path, false);
        return;
    }
    sender_ = lines[1];
    recipientText_ = lines[2];
    size_ = left_ = static_cast<long long>(info.st_size) - static_cast<long long>(rest);
    // What the header's reads took of the text is its start (a small message's whole text):
    // the file is read once.
    readAhead_ = header.substr(rest);
    if (size_ < static_cast<long long>(readAhead_.size())) {
        Fail("not a spooled message: " + path, false);
        return;
    }
    size_t tailBytes = static_cast<size_t>(std::min<long long>(size_, 2));
    if (static_cast<long long>(readAhead_.size()) == size_) {
        tail_ = readAhead_.substr(readAhead_.size() - tailBytes);
        return;
    }
    tail_.resize(tailBytes);
    if (::pread(fd_, tail_.data(), tailBytes, info.st_size - static_cast<off_t>(tailBytes)) !=
        static_cast<ssize_t>(tailBytes))
        Fail("cannot read " + path);
}

SpooledText::~SpooledText() {
    if (fd_ >= 0) ::close(fd_);
}

bool SpooledText::Fail(const std::string& what, bool withErrno) {
    error_ = withErrno ? what + ": " + std::strerror(errno) : what;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return false;
}

bool SpooledText::NextPiece(std::string& piece) {
    if (fd_ < 0 || left_ <= 0) return false;
    piece.resize(static_cast<size_t>(std::min<long long>(left_, kPieceBytes)));
    size_t got = std::min(readAhead_.size(), piece.size());
    readAhead_.copy(piece.data(), got);
    readAhead_.erase(0, got);
    while (got < piece.size()) {
        ssize_t n = ::read(fd_, piece.data() + got, piece.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail("cannot read the spooled text");
        if (n == 0) return Fail("the spooled text ended early", false); // cut short under us
        got += static_cast<size_t>(n);
    }
    left_ -= static_cast<long long>(got);
    return true;
}

// The folder opened after the checks a spool must pass, or -1 with `problem` saying which
// failed.
static int OpenOwnFolder(const std::string& folder, std::string& problem) {
    // On a shared machine the folder must be ours alone: a link could lead the mail into a
    // folder others read, and a folder others may write lets them swap our files for links.
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0)
        problem = errno == ENOENT ? "it does not exist: no relay has started with these files"
                                  : std::string("it cannot be read: ") + std::strerror(errno);
    else if (!S_ISDIR(info.st_mode))
        problem = "it is not a real folder (a link or a file)";
    else if (info.st_uid != ::geteuid())
        problem = "it belongs to another user";
    else if ((info.st_mode & 022) != 0)
        problem = "others may write to it";
    else if (::access(folder.c_str(), W_OK | X_OK) != 0)
        problem = "it cannot be written";
    if (!problem.empty()) return -1;
    // From now on every file is reached through this descriptor, never through the path: a
    // folder renamed and replaced by a link meanwhile cannot redirect a write.
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0 || ::fstat(fd, &opened) != 0 || opened.st_dev != info.st_dev ||
        opened.st_ino != info.st_ino) {
        if (fd >= 0) ::close(fd);
        problem = "it changed while it was being checked";
        return -1;
    }
    return fd;
}

Spool::Spool(std::string folder, size_t filesAhead)
    : folder_(std::move(folder)), filesAhead_(std::min(filesAhead, kMaxFreeFiles)) {
    if (!folder_.empty() && folder_.back() == '/') folder_.pop_back();
    // Messages are the user's mail: owner-only, like the password files.
    if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) {
        problem_ = std::string("it cannot be made: ") + std::strerror(errno);
        return;
    }
    dirFd_ = OpenOwnFolder(folder_, problem_);
    if (dirFd_ < 0) return;
    ok_ = true;
    auto listing = ListingOf(dirFd_);
    while (dirent* item = listing ? ::readdir(listing.get()) : nullptr) {
        std::string name = item->d_name;
        if (name.rfind(kFreePrefix, 0) == 0) freeFiles_.push_back({name});
    }
    syncer_ = std::thread([this] { SyncLoop(); });
}

Spool::~Spool() {
    for (auto& [id, file] : receiving_) ::close(file.fd);
    if (syncer_.joinable()) {
        Flush();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        syncer_.join();
    }
    for (FreeFile& file : freeFiles_)
        if (file.fd >= 0) ::close(file.fd);
    if (dirFd_ >= 0) ::close(dirFd_);
}

void Spool::Remove(const std::string& name) const {
    ::unlinkat(dirFd_, name.c_str(), 0);
}

bool Spool::Rename(const std::string& from, const std::string& to) const {
    return ::renameat(dirFd_, from.c_str(), dirFd_, to.c_str()) == 0;
}

std::optional<Spool::Id> Spool::Begin(const std::string& sender, const std::string& recipientText) {
    if (!ok_) return std::nullopt;
    Id id = MessageName(++counter_);
    // Received into an emptied file when there is one (no new inode), else a new "free-"
    // file: either way, until the rename of Commit it is no message, and a crash leaves a
    // file that the next run simply reuses.
    FreeFile reused = TakeFreeFile();
    std::string name = std::move(reused.name);
    int fd = reused.fd >= 0 ? reused.fd : (name.empty() ? -1 : OpenEmptied(dirFd_, name));
    if (fd < 0) {
        // A folder removed under us stays so: its descriptor finds nothing, and mail is
        // refused with 451 (no loss) until the next start makes it anew.
        name = kFreePrefix + id;
        fd = CreateFreeFile(dirFd_, name);
    }
    if (fd < 0) return std::nullopt;
    receiving_[id] = Receiving{
        fd, name, std::string(kMagic) + "\r\n" + sender + "\r\n" + recipientText + "\r\n\r\n"};
    return id;
}

bool Spool::WriteHeaderWith(Receiving& file, const std::string& piece) {
    std::string header = std::move(file.header);
    file.header.clear();
    if (piece.size() <= kHeaderWithPieceBytes) {
        header += piece;
        return platform::WriteAllBytes(file.fd, header.data(), header.size());
    }
    return platform::WriteAllBytes(file.fd, header.data(), header.size()) &&
           platform::WriteAllBytes(file.fd, piece.data(), piece.size());
}

bool Spool::Append(const Id& id, const std::string& piece) {
    auto it = receiving_.find(id);
    if (it == receiving_.end()) return false;
    bool written = it->second.header.empty()
                       ? platform::WriteAllBytes(it->second.fd, piece.data(), piece.size())
                       : WriteHeaderWith(it->second, piece);
    if (written) return true;
    Discard(id); // a disk that is full now stays so for the rest of this message
    return false;
}

bool Spool::Commit(const Id& id) {
    auto it = receiving_.find(id);
    if (it == receiving_.end()) return false;
    if (!it->second.header.empty() && !WriteHeaderWith(it->second, std::string())) {
        Discard(id);
        return false;
    }
    Receiving file = std::move(it->second);
    receiving_.erase(it);
    bool whole = ::close(file.fd) == 0 && Rename(file.name, id + ".msg");
    if (!whole) {
        Remove(file.name);
        return false;
    }
    committedUnsynced_ = true;
    return true;
}

void Spool::SyncSoon() {
    if (!committedUnsynced_) return;
    committedUnsynced_ = false;
    MarkDirty();
}

void Spool::Discard(const Id& id) {
    auto it = receiving_.find(id);
    if (it == receiving_.end()) return;
    ::close(it->second.fd);
    Remove(it->second.name);
    receiving_.erase(it);
}

void Spool::MarkDirty() {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Already dirty: the syncer is gathering a batch or about to, and takes this in too.
        // Waking it for every message would cost a switch of threads each time.
        wake = !dirty_;
        dirty_ = true;
    }
    if (wake) wake_.notify_one();
}

Spool::FreeFile Spool::TakeFreeFile() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (freeFiles_.empty()) return FreeFile{};
    // Readied ones are pushed last.
    FreeFile file = std::move(freeFiles_.back());
    freeFiles_.pop_back();
    if (file.fd >= 0) --readyFiles_;
    return file;
}

Spool::FreeFile Spool::Ready(std::string name, size_t& budget) {
    FreeFile file{std::move(name)};
    if (budget == 0) return file;
    // Emptied and closed before (EmptyFile), so nothing is left for this descriptor's close.
    file.fd = ::openat(dirFd_, file.name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file.fd >= 0) --budget;
    return file;
}

size_t Spool::ReadyBudget() const {
    // Only the syncer adds ready files, so the count cannot grow past this meanwhile.
    return kReadyFiles - std::min(kReadyFiles, readyFiles_);
}

void Spool::AddFreeFiles(std::vector<FreeFile>& files) {
    for (FreeFile& file : files) {
        if (freeFiles_.size() >= kMaxFreeFiles) {
            if (file.fd >= 0) ::close(file.fd);
            Remove(file.name);
        } else if (file.fd >= 0) {
            freeFiles_.push_back(std::move(file));
            ++readyFiles_;
        } else {
            freeFiles_.push_front(std::move(file)); // readied ones stay last
        }
    }
}

void Spool::MakeSpares(std::unique_lock<std::mutex>& lock) {
    if (freeFiles_.size() >= kSpareFiles || stopping_) return;
    MakeFreeFiles(lock, kSpareFiles - freeFiles_.size());
}

bool Spool::MakeAhead(std::unique_lock<std::mutex>& lock) {
    if (aheadMade_ || stopping_) return false;
    if (freeFiles_.size() >= filesAhead_) {
        aheadMade_ = true;
        return false;
    }
    MakeFreeFiles(lock, std::min(kAheadChunk, filesAhead_ - freeFiles_.size()));
    return !dirty_ && !stopping_;
}

void Spool::MakeFreeFiles(std::unique_lock<std::mutex>& lock, size_t wanted) {
    size_t readyBudget = ReadyBudget();
    lock.unlock();
    std::vector<FreeFile> made;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    long long stamp = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    for (size_t n = 0; n < wanted; ++n) {
        // Its own name pattern ("-s"), so that it never meets a name Begin gives.
        char name[64];
        std::snprintf(name, sizeof(name), "%s%020lld-s%06zu", kFreePrefix, stamp, n);
        FreeFile file{name};
        int fd = CreateFreeFile(dirFd_, file.name);
        if (fd < 0) break; // a full disk or a vanished folder: the main thread tries itself
        if (readyBudget > 0) {
            file.fd = fd;
            --readyBudget;
        } else {
            ::close(fd);
        }
        made.push_back(std::move(file));
    }
    lock.lock();
    if (made.size() < wanted) aheadMade_ = true; // no more now; the low-water rule goes on
    AddFreeFiles(made);
}

void Spool::Delivered(const Id& id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removals_.push_back(id);
    }
    MarkDirty();
}

bool Spool::WriteRecord(const Id& id, const char* suffix, const std::string& text) {
    // No fsync here: a power cut that loses a record leaves its message to be tried again
    // (a failed one, or a deferred one at once, one attempt early), which is no loss. The
    // syncer writes it out with the next batch.
    std::string name = id + suffix, temp = name + ".tmp";
    int fd =
        ::openat(dirFd_, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool written = platform::WriteAllBytes(fd, text.data(), text.size());
    written = ::close(fd) == 0 && written;
    if (!written || !Rename(temp, name)) {
        Remove(temp);
        return false;
    }
    MarkDirty();
    return true;
}

bool Spool::KeepFailed(const Id& id, const std::string& logLine, const std::string& reason) {
    // Failed for good: a schedule of retries no longer applies.
    Remove(id + ".retry");
    return WriteRecord(id, ".failed", logLine + "\r\n" + reason + "\r\n");
}

void Spool::Unfail(const Id& id) {
    Remove(id + ".failed");
}

bool Spool::KeepForRetry(const Id& id, const RetryState& state) {
    return WriteRecord(id, ".retry", FormatRetryRecord(state));
}

void Spool::Delete(const Id& id) {
    for (const char* suffix : {".msg", ".failed", ".retry", kSetAsideSuffix}) Remove(id + suffix);
}

bool Spool::SetAside(const Id& id) {
    if (!Rename(id + ".msg", id + kSetAsideSuffix)) return false;
    // Its records describe a message that is not there: left, they would be orphans.
    Remove(id + ".failed");
    Remove(id + ".retry");
    MarkDirty();
    return true;
}

std::string Spool::ReadProblem(const Id& id, bool setAside) const {
    SpooledText text(setAside ? folder_ + "/" + id + kSetAsideSuffix : TextPath(id));
    return text.Ok() ? std::string() : text.Error();
}

std::optional<Spool::Id> Spool::Readdress(const Id& id, const std::string& recipientText,
                                          bool asNew) {
    SpooledText text(TextPath(id));
    if (!text.Ok()) return std::nullopt;
    Id target = asNew ? MessageName(++counter_) : id;
    std::string name = target + ".msg", temp = name + ".part";
    int fd =
        ::openat(dirFd_, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return std::nullopt;
    std::string header =
        std::string(kMagic) + "\r\n" + text.Sender() + "\r\n" + recipientText + "\r\n\r\n";
    bool written = platform::WriteAllBytes(fd, header.data(), header.size());
    for (std::string piece; written && text.NextPiece(piece);)
        written = platform::WriteAllBytes(fd, piece.data(), piece.size());
    written = written && text.Error().empty();
    // Synced before the rename: replacing a message with a file a power cut could leave
    // empty would lose it. Rare (a message only some of whose recipients are decided).
    written = written && ::fdatasync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || !Rename(temp, name)) {
        Remove(temp);
        return std::nullopt;
    }
    MarkDirty();
    return target;
}

std::optional<Envelope> Spool::EnvelopeOf(const Id& id) const {
    SpooledText text(TextPath(id));
    if (!text.Ok()) return std::nullopt;
    Envelope envelope{text.Sender(), text.RecipientText(), text.Size()};
    struct stat info {};
    if (::stat(TextPath(id).c_str(), &info) == 0)
        envelope.received = WallClock::time_point(std::chrono::seconds(info.st_mtim.tv_sec));
    return envelope;
}

std::vector<Spool::Entry> ListSpoolFolder(const std::string& folder) {
    std::vector<Spool::Entry> entries;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    if (!listing) return entries;
    while (dirent* item = ::readdir(listing.get())) {
        std::string name = item->d_name;
        if (HasSuffix(name, kSetAsideSuffix)) {
            Spool::Entry entry;
            entry.id = name.substr(0, name.size() - std::strlen(kSetAsideSuffix));
            entry.failed = entry.unreadable = true;
            SpooledText text(folder + "/" + name);
            entry.reason = text.Ok() ? "set aside" : text.Error();
            entries.push_back(std::move(entry));
            continue;
        }
        if (!HasSuffix(name, ".msg")) continue;
        Spool::Entry entry;
        entry.id = name.substr(0, name.size() - 4);
        if (auto failed = platform::ReadFileBytes(folder + "/" + entry.id + ".failed")) {
            entry.failed = true;
            size_t end = failed->find("\r\n");
            entry.logLine = failed->substr(0, end);
            if (end != std::string::npos) {
                std::string reason = failed->substr(end + 2);
                if (HasSuffix(reason, "\r\n")) reason.resize(reason.size() - 2);
                entry.reason = reason;
            }
        } else if (auto retry = platform::ReadFileBytes(folder + "/" + entry.id + ".retry")) {
            entry.retry = ParseRetryRecord(*retry);
            entry.retryUnreadable = !entry.retry;
            if (entry.retry) entry.reason = entry.retry->lastReason;
        }
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const Spool::Entry& a, const Spool::Entry& b) { return a.id < b.id; });
    return entries;
}

std::vector<Spool::Entry> Spool::List() const {
    return ListSpoolFolder(folder_);
}

TextPieces WholeText(const std::string& text) {
    return [&text, given = false](std::string& piece) mutable {
        if (given) return false;
        piece = text;
        return given = true;
    };
}

std::optional<Spool::Id> SpoolWholeMessage(const std::string& folder, const std::string& sender,
                                           const std::string& recipientText,
                                           const TextPieces& nextPiece, std::string& error) {
    // Only a spool a relay made and reads, checked as the relay checks it: a folder made
    // here would be read by nobody, and one that fails the checks the relay refuses.
    std::string problem;
    int dirFd = OpenOwnFolder(folder, problem);
    if (dirFd < 0) {
        error = folder + ": " + problem;
        return std::nullopt;
    }
    // The process id stands where the relay counts its messages: two commands at the same
    // moment still get names of their own.
    Spool::Id id = MessageName(static_cast<unsigned long long>(::getpid()));
    std::string header =
        std::string(kMagic) + "\r\n" + sender + "\r\n" + recipientText + "\r\n\r\n";
    std::string name = id + ".msg", temp = name + ".part";
    int fd =
        ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool written = fd >= 0 && platform::WriteAllBytes(fd, header.data(), header.size());
    for (std::string piece; written && nextPiece(piece);)
        written = platform::WriteAllBytes(fd, piece.data(), piece.size());
    written = written && ::fsync(fd) == 0;
    if (fd >= 0) written = ::close(fd) == 0 && written;
    // Whole or not at all: the relay never sees a part.
    written =
        written && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) == 0 && ::fsync(dirFd) == 0;
    int saved = errno;
    if (!written) ::unlinkat(dirFd, temp.c_str(), 0);
    ::close(dirFd);
    if (!written) {
        error = "cannot write " + folder + "/" + name + ": " + std::strerror(saved);
        return std::nullopt;
    }
    return id;
}

void Spool::RemoveUnfinished() {
    if (dirFd_ < 0) return;
    auto listing = ListingOf(dirFd_);
    if (!listing) return;
    while (dirent* item = ::readdir(listing.get())) {
        std::string name = item->d_name;
        std::string id = name.substr(0, name.find('.'));
        bool unfinished = HasSuffix(name, ".part") || HasSuffix(name, ".failed.tmp") ||
                          HasSuffix(name, ".retry.tmp");
        // A failure or retry record outlives its message only when a removal of it failed.
        bool record = HasSuffix(name, ".failed") || HasSuffix(name, ".retry");
        bool orphan = record && ::faccessat(dirFd_, (id + ".msg").c_str(), F_OK, 0) != 0;
        if ((unfinished && receiving_.count(id) == 0) || orphan) Remove(name);
    }
}

void Spool::Flush() {
    if (!syncer_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    // A sync already running may have started before what was just written: wait for the
    // one after it.
    uint64_t wanted = syncsDone_ + (syncing_ ? 2 : 1);
    dirty_ = true;
    flushWanted_ = true;
    wake_.notify_one();
    synced_.wait(lock, [&] { return syncsDone_ >= wanted; });
}

void Spool::SyncLoop() {
    // Woken at the end of most messages, just before their reply: as batch work it no longer
    // preempts the main thread there (measured at one client, median of 250 messages: the end
    // of data 0.02 to 0.17 ms sooner in ten of twelve interleaved pairs).
    platform::ScheduleAsBatchWork();
    std::unique_lock<std::mutex> lock(mutex_);
    std::chrono::steady_clock::time_point lastSync{};
    for (;;) {
        MakeSpares(lock);
        if (MakeAhead(lock)) continue;
        wake_.wait(lock, [&] { return dirty_ || stopping_; });
        if (!dirty_ && stopping_) break;
        // A batch gathers until the window since the last sync has passed: a sync per message
        // would hold the file system's journal so often that the main thread's file work
        // queues behind it. Counted from the last sync's start, so that the time spent
        // emptying that sync's relayed files is part of the window, not added to it.
        wake_.wait_until(lock, lastSync + kBatchWindow, [&] { return stopping_ || flushWanted_; });
        lastSync = std::chrono::steady_clock::now();
        flushWanted_ = false;
        dirty_ = false;
        syncing_ = true;
        std::vector<std::string> removals;
        removals.swap(removals_);
        size_t readyBudget = ReadyBudget();
        lock.unlock();
        // One call for the whole batch: every message written since the last one.
        ::syncfs(dirFd_);
        std::vector<FreeFile> emptied;
        for (const Id& id : removals) {
            // No failure record to remove: a resend removes it before the message goes out
            // again (one failed removal is cleared at the next start).
            std::string name = id + ".msg";
            std::string freeName = kFreePrefix + id;
            // Its schedule goes first: a retry record without its message is an orphan.
            Remove(id + ".retry");
            // Emptied first: a relayed message's text does not linger on the disk.
            if (EmptyFile(dirFd_, name) && Rename(name, freeName))
                emptied.push_back(Ready(std::move(freeName), readyBudget));
            else
                Remove(name);
        }
        lock.lock();
        AddFreeFiles(emptied);
        syncing_ = false;
        ++syncsDone_;
        synced_.notify_all();
    }
}

} // namespace store
