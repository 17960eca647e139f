// The command line of a sendmail-compatible command, as the programs that run
// /usr/sbin/sendmail use it (cron, mail/mailx, git send-email, PHP's mail()).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sendmail {

struct Options {
    enum class Mode { Send, ListQueue };
    Mode mode = Mode::Send;
    std::vector<std::string> recipients; // the arguments after the options
    bool recipientsFromHeaders = false;  // -t
    std::string sender;                  // -f / -r; empty: the user's login name at the host
    std::string fullName;                // -F
    bool dotEndsInput = true;            // a line of a single dot ends the input, unless -i
};

// The options, or nothing with `error` holding the usage message's reason. Accepted and
// ignored: -o<x> and -B<type> (with -odi, -odb, -oem, -oi kept as sendmail has them), -v, -m;
// "--" ends the options; "-bp" lists the queue, "-bm" is the default mode.
std::optional<Options> ParseOptions(const std::vector<std::string>& arguments, std::string& error);

} // namespace sendmail
