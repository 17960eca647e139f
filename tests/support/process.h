// Runs a real client program (python3 smtplib, swaks) while the calling thread's message
// loop keeps serving our sockets.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exitCode = -1;  // -1 when it had to be killed at the timeout
    std::string output; // stdout and stderr together
};

ProcessResult RunWhilePumping(const std::vector<std::string>& argv, const std::string& input,
                              int timeoutMs);

// Same, without a loop to serve (for servers on other threads or processes).
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         int timeoutMs);

} // namespace testsupport
