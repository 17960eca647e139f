// A delivery's recipients sorted by what became of them: those that have the message, those
// refused for good, those to be tried again. A message whose recipients did not all fare
// alike is recorded part by part: a success line for the first, a failure line for the
// second, a retry for the third, and none of them is ever sent it again.
#pragma once

#include "smtpclient/smtpsender.h"

#include <string>
#include <vector>

namespace app {

struct RecipientGroups {
    std::vector<smtpclient::TRecipientOutcome> delivered, refused, deferred;

    explicit RecipientGroups(const std::vector<smtpclient::TRecipientOutcome>& recipients);
    // Not all alike: the message is recorded part by part.
    bool Mixed() const;
};

// The addresses as a recipient text ("a@x,b@y"), the form the spool and the lines hold.
std::string RecipientText(const std::vector<smtpclient::TRecipientOutcome>& recipients);

// Why they did not get it: each recipient's reason, named by its address unless the reason
// names it already ("RCPT TO:<b@y> refused: ..."), joined by "; ".
std::string ReasonsOf(const std::vector<smtpclient::TRecipientOutcome>& recipients);

} // namespace app
