// Handing a prepared message to the running relay over SMTP, or, when no relay listens, to
// its spool for the next start.
#pragma once

#include "sendmail/message.h"

#include <string>

namespace sendmail {

// Submits to the relay on 127.0.0.1:`port`. kExitOk when it answered "250" to the end of the
// text; kExitTemporary for a 4xx or a connection that failed midway, kExitNoRecipients for a
// 5xx to a recipient, kExitUnavailable for another 5xx, with `error` saying which step and
// reply. `notListening` is set (and nothing was sent)
// when the connection was refused: no relay runs.
int SubmitToRelay(const Prepared& message, const std::string& sender, int port, bool& notListening,
                  std::string& error);

// The message as a waiting message in `spoolFolder`: kExitOk, or kExitTemporary with `error`.
int SpoolForNextStart(const Prepared& message, const std::string& sender,
                      const std::string& spoolFolder, std::string& id, std::string& error);

} // namespace sendmail
