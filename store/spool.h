// The spool: every accepted message as a file of its own, from its first data piece until it
// has been relayed, so that an exit, a crash or a failed relay never loses a message the
// client was told "250 OK " for. Main-thread only, apart from the background syncer inside
// and Delivered.
//
// A message is written into a "free-…" file (an emptied one reused, one the syncer made
// ahead, or a new one) and becomes "<id>.msg" once whole (a rename, before the client's
// "250 OK "); a failed one keeps "<id>.failed" beside it (its list line and why it failed)
// until the user resends or deletes it; a deferred one keeps "<id>.retry" beside it (its
// retry schedule) until it is relayed, fails for good or is deleted. A relayed one is emptied
// and kept as "free-<id>" for the next message. Files are GBK/bytes as received:
//   "VANTRO-SPOOL 1" CR LF, sender CR LF, recipients CR LF, CR LF, then the message text.
//
// Durability without an fsync per message on the main thread: a background thread syncs
// the folder's file system (one syncfs per batch, at most one each 50 ms), and removals of
// relayed messages wait for the next sync, so nothing is removed ahead of what was written
// before it. A power cut can lose what arrived since the last sync (50 ms and the sync, more
// when emptying a large batch's relayed files takes longer).
#pragma once

#include "store/retry_schedule.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace store {

// A whole message's envelope as its file holds it.
struct Envelope {
    std::string sender;
    std::string recipientText; // comma-joined, no blanks
    long long size = 0;        // of its text
    // When it was accepted: its file's time (committed once, never written again); the
    // clock's epoch when that could not be read.
    WallClock::time_point received{};
};

// A spooled message's text read back piece by piece, on any thread: what a delivery sends
// instead of a copy held in memory. The file stays as it is until the delivery's outcome
// has been reported, so reading it needs no lock.
class SpooledText {
  public:
    static constexpr size_t kPieceBytes = 64 * 1024;

    explicit SpooledText(const std::string& path);
    ~SpooledText();
    SpooledText(const SpooledText&) = delete;
    SpooledText& operator=(const SpooledText&) = delete;

    // False when the file could not be opened or is no spooled message (its header: the
    // magic line, sender, recipients, an empty line); Error() says why.
    bool Ok() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }
    const std::string& Sender() const { return sender_; }
    const std::string& RecipientText() const { return recipientText_; }
    long long Size() const { return size_; }
    // The text's last two bytes (fewer in a shorter text).
    const std::string& Tail() const { return tail_; }
    // The next piece of at most kPieceBytes; false at the end or on a read error.
    bool NextPiece(std::string& piece);

  private:
    bool Fail(const std::string& what, bool withErrno = true);

    int fd_ = -1;
    long long size_ = 0;
    long long left_ = 0;
    std::string sender_, recipientText_;
    std::string readAhead_; // the text's first bytes, read with the header
    std::string tail_;
    std::string error_;
};

class Spool {
  public:
    using Id = std::string;

    struct Entry {
        Id id;
        bool failed = false;
        std::string logLine; // the failure list's line (GBK), failed ones only
        std::string reason;  // why it failed
        // A message deferred for a retry: its schedule, read from "<id>.retry"; unset when
        // it has none, or when `retryUnreadable` (cut off or garbled: retry it at once).
        std::optional<RetryState> retry;
        bool retryUnreadable = false;
        // A file that is no spooled message, kept aside as "<id>.unreadable" (SetAside): it
        // is listed as failed, `reason` saying why it cannot be read.
        bool unreadable = false;
    };

    // Free files a busy relay keeps in use at once: the syncer hands a relayed message's
    // file back only after the next sync, so that two thousand messages a second with syncs
    // of a few tenths of a second hold a thousand and more. Making them while mail arrives
    // costs the file system's inode search (0.05 to 0.4 ms a file here) on the main thread.
    static constexpr size_t kBusyFiles = 1024;

    // Uses `folder` (created 0700 when missing); Ok() tells whether it can be written. The
    // syncer makes empty files ahead in the background until `filesAhead` are free (once; a
    // folder that has them from an earlier run needs none), and 128 more whenever fewer are
    // left.
    explicit Spool(std::string folder, size_t filesAhead = 0);
    // Syncs, then carries out the removals still waiting.
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    bool Ok() const { return ok_; }
    // Why the folder is not used (not Ok), in words for the journal; empty when it is.
    const std::string& Problem() const { return problem_; }
    const std::string& Folder() const { return folder_; }

    // A message being received; nothing when the file cannot be made.
    std::optional<Id> Begin(const std::string& sender, const std::string& recipientText);
    bool Append(const Id& id, const std::string& piece);
    // Whole: from now on it is delivered even after a crash. False when it could not be
    // written; the file is then gone and the message must not be accepted. Its sync against
    // a power loss starts at the next SyncSoon, so that a caller can answer its client
    // before the syncer's wake costs a switch of threads.
    bool Commit(const Id& id);
    // Starts a background sync when messages were committed since the last call.
    void SyncSoon();
    // An unfinished message whose connection went away.
    void Discard(const Id& id);

    // Relayed: removed after the next background sync. Safe from any thread.
    void Delivered(const Id& id);
    // Failed: kept with its list line and reason until resent or deleted.
    bool KeepFailed(const Id& id, const std::string& logLine, const std::string& reason);
    // To be sent again: no longer failed.
    void Unfail(const Id& id);
    // Deferred: its schedule kept beside it ("<id>.retry", replaced whole) until it is
    // relayed, fails for good or is deleted. False when it could not be written: the message
    // is then tried again at once at the next start, which loses nothing.
    bool KeepForRetry(const Id& id, const RetryState& state);
    // The user's delete of a kept message (or of one set aside).
    void Delete(const Id& id);
    // A "<id>.msg" that is no spooled message (cut off, garbled, another program's) moved
    // aside to "<id>.unreadable": kept for the user to look at, never sent, never removed
    // but by Delete. False when it could not be moved.
    bool SetAside(const Id& id);
    // Why the file of `id` (its ".msg", or its ".unreadable" when set aside) cannot be read
    // as a spooled message; empty when it can.
    std::string ReadProblem(const Id& id, bool setAside = false) const;
    // A whole message's text under a narrower list of recipients, written whole and synced
    // before it replaces anything: in place of the message itself (its recipients that have
    // it now, or that failed for good, are gone from its file, so a restart or a resend sends
    // to the others only), or `asNew`, as a message of its own beside it. Its id, or nothing
    // when it could not be written; the message then stays as it was. Main thread, while no
    // delivery reads the message.
    std::optional<Id> Readdress(const Id& id, const std::string& recipientText, bool asNew);

    // A whole message's envelope, from its file's header and time; its text stays in the file
    // for its delivery to read (TextPath), so that a message waiting days for its retry holds
    // no memory. Nothing when the file is no spooled message.
    std::optional<store::Envelope> EnvelopeOf(const Id& id) const;
    // The file holding a whole message's text, for SpooledText.
    std::string TextPath(const Id& id) const { return folder_ + "/" + id + ".msg"; }
    // Whole messages, oldest first, and those set aside.
    std::vector<Entry> List() const;
    // Removes what an earlier version left unfinished; unfinished "free-" files are simply
    // reused (their clients never got "250 OK ").
    void RemoveUnfinished();
    // Blocks until everything written so far is on disk and waiting removals are done.
    void Flush();

  private:
    // An emptied file kept for reuse; `fd` is open for writing when the syncer readied it.
    struct FreeFile {
        std::string name; // in the folder
        int fd = -1;
    };

    // A file of the folder removed or renamed, through the folder's descriptor.
    void Remove(const std::string& name) const;
    bool Rename(const std::string& from, const std::string& to) const;
    // A record beside a message ("<id><suffix>"), replaced whole through a temporary file.
    bool WriteRecord(const Id& id, const char* suffix, const std::string& text);
    void SyncLoop();
    // Opens an emptied file for the next message, off the main thread, while `budget` (what
    // may still be opened of the few kept open) lasts.
    FreeFile Ready(std::string name, size_t& budget);
    // How many more files the syncer may hold open for the next messages; with mutex_ held.
    size_t ReadyBudget() const;
    // An emptied file to reuse (path empty when there is none).
    FreeFile TakeFreeFile();
    // Takes emptied or new files into the free ones, beyond the bound removing them; with
    // mutex_ held.
    void AddFreeFiles(std::vector<FreeFile>& files);
    // Makes new empty files while few are free; on the syncer, taking mutex_ as `lock`.
    void MakeSpares(std::unique_lock<std::mutex>& lock);
    // Makes one chunk of the files wanted ahead; true when more are wanted and nothing waits
    // to be synced.
    bool MakeAhead(std::unique_lock<std::mutex>& lock);
    // Makes `wanted` empty files into the free ones, readying what the budget allows.
    void MakeFreeFiles(std::unique_lock<std::mutex>& lock, size_t wanted);
    // Something new is to be synced: wakes the syncer.
    void MarkDirty();

    std::string folder_;
    // The folder, opened once after its checks: every file is made, renamed, emptied and
    // removed through it, never through a path that a link could redirect.
    int dirFd_ = -1;
    size_t filesAhead_;
    bool ok_ = false;
    std::string problem_;
    uint64_t counter_ = 0;
    bool committedUnsynced_ = false; // committed since the last SyncSoon
    struct Receiving {
        int fd;
        std::string name;   // a "free-" file until Commit renames it
        std::string header; // written with the first piece: one write for a small message
    };
    std::unordered_map<Id, Receiving> receiving_;
    // Writes the header still held back, with `piece` when it is small.
    static bool WriteHeaderWith(Receiving& file, const std::string& piece);

    // Shared with the syncer thread.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable synced_;
    bool dirty_ = false;
    bool stopping_ = false;
    bool syncing_ = false;
    bool flushWanted_ = false;
    uint64_t syncsDone_ = 0;
    std::vector<Id> removals_;       // relayed, to go after the next sync
    std::deque<FreeFile> freeFiles_; // emptied files ("free-…"), reused before creating
    size_t readyFiles_ = 0;          // of them, those with an open descriptor
    bool aheadMade_ = false;         // filesAhead_ were free once (or could not be made)
    std::thread syncer_;
};

// The whole messages of a spool folder, oldest first, read without changing anything: what
// Spool::List gives, for a reader that is not the relay (the sendmail command's listing).
std::vector<Spool::Entry> ListSpoolFolder(const std::string& folder);

// Puts a whole message into a spool folder while no relay is running, so that its next start
// relays it like one an earlier run left: written whole and atomically (nobody sees a part),
// owner-only, named as the relay names its messages. Only into a folder a relay made and
// would use: one that is missing, a link, another user's or writable by others is refused.
// The text is the message as a client's DATA leaves it (CR LF lines, no dot-stuffing), handed
// over in pieces by `nextPiece` (false after the last), so that it is never held twice. Its
// id, or nothing with `error` saying why.
using TextPieces = std::function<bool(std::string& piece)>;
// A text that is already whole, as one piece (it must outlive the pieces' use).
TextPieces WholeText(const std::string& text);
std::optional<Spool::Id> SpoolWholeMessage(const std::string& folder, const std::string& sender,
                                           const std::string& recipientText,
                                           const TextPieces& nextPiece, std::string& error);

} // namespace store
