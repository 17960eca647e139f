#include "sendmail/queue_listing.h"

#include "store/retry_schedule.h"
#include "store/spool.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace sendmail {

namespace {

// "2026-12-09 18:25:01" in local time, from the file's modification time.
std::string TimeOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "?";
    return store::LocalTimeText(store::WallClock::from_time_t(info.st_mtime));
}

} // namespace

bool ListQueue(const std::string& spoolFolder, std::string& listing, std::string& error) {
    listing.clear();
    if (DIR* folder = ::opendir(spoolFolder.c_str())) {
        ::closedir(folder);
    } else if (errno != ENOENT) {
        error = "cannot read the spool " + spoolFolder + ": " + std::strerror(errno);
        return false;
    }
    for (const store::Spool::Entry& entry : store::ListSpoolFolder(spoolFolder)) {
        if (entry.unreadable) {
            std::string path = spoolFolder + "/" + entry.id + ".unreadable";
            listing += entry.id + "  " + TimeOf(path) + "  unreadable: " + entry.reason +
                       " (kept aside as " + path + ", never sent)\n";
            continue;
        }
        std::string path = spoolFolder + "/" + entry.id + ".msg";
        store::SpooledText text(path);
        std::string line = entry.id + "  " + TimeOf(path) + "  ";
        if (!text.Ok()) {
            listing += line + "unreadable: " + text.Error() + "\n";
            continue;
        }
        line += std::to_string(text.Size()) + " bytes  " + (entry.failed ? "failed" : "waiting") +
                "  <" + text.Sender() + "> -> " + text.RecipientText();
        if (entry.failed) line += "  reason: " + entry.reason;
        if (entry.retry)
            line += "  deferred, attempt " + std::to_string(entry.retry->attempts) + ", next " +
                    store::LocalTimeText(entry.retry->next) + ", reason: " + entry.reason;
        listing += line + "\n";
    }
    if (listing.empty()) listing = "Mail queue is empty\n";
    return true;
}

} // namespace sendmail
