// The spool as mailq shows a queue: one line per message, read-only, no relay needed.
#pragma once

#include <string>

namespace sendmail {

// The listing of `spoolFolder` ("Mail queue is empty" when it holds nothing, or does not
// exist), or false with `error` when the folder cannot be read.
bool ListQueue(const std::string& spoolFolder, std::string& listing, std::string& error);

} // namespace sendmail
