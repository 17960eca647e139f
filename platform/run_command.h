// Runs a user's command line and collects what it prints, within a time bound: the way a
// password or an access token is fetched from the desktop keyring or a token helper.
#pragma once

#include <chrono>
#include <string>

namespace platform {

// Bytes kept of each output stream; the rest is read and dropped, so a command that prints
// without end can neither block on a full pipe nor make us hold its output.
inline constexpr size_t kMaxCommandOutput = 64 * 1024;

struct CommandResult {
    bool started = false;  // false: the shell could not be started (`startError` says why)
    bool timedOut = false; // still running at the bound: its process group was killed
    int exitStatus = -1;   // 0 to 255 when it exited by itself, else -1
    int signal = 0;        // the signal that ended it, else 0
    std::string output;    // standard output, at most kMaxCommandOutput bytes
    std::string errorOutput;
    std::string startError;
    bool Succeeded() const { return started && !timedOut && exitStatus == 0; }
    // "exit status N", "killed by signal N", "no answer within the time bound" or the
    // start error: how it ended, for a reason the user reads.
    std::string Ending() const;
};

// Any thread. Runs `commandLine` through /bin/sh -c as the user, in a session of its own
// (no controlling terminal, so nothing can prompt), standard input from /dev/null, and
// waits for it to end and close its output, at most `bound`; past that its whole process
// group is killed. No descriptor of ours is inherited.
CommandResult RunCommand(const std::string& commandLine, std::chrono::milliseconds bound);

// The text before the first line end (LF, CR LF or CR).
std::string FirstLine(const std::string& text);

} // namespace platform
