#include "app/core/recipient_outcomes.h"

namespace app {

using State = smtpclient::TRecipientOutcome::State;

RecipientGroups::RecipientGroups(const std::vector<smtpclient::TRecipientOutcome>& recipients) {
    for (const auto& recipient : recipients) {
        switch (recipient.state) {
        case State::Delivered:
            delivered.push_back(recipient);
            break;
        case State::Refused:
            refused.push_back(recipient);
            break;
        case State::Deferred:
            deferred.push_back(recipient);
            break;
        }
    }
}

bool RecipientGroups::Mixed() const {
    int groups =
        (delivered.empty() ? 0 : 1) + (refused.empty() ? 0 : 1) + (deferred.empty() ? 0 : 1);
    return groups > 1;
}

std::string RecipientText(const std::vector<smtpclient::TRecipientOutcome>& recipients) {
    std::string text;
    for (const auto& recipient : recipients) text += (text.empty() ? "" : ",") + recipient.address;
    return text;
}

std::string ReasonsOf(const std::vector<smtpclient::TRecipientOutcome>& recipients) {
    std::string reasons;
    for (const auto& recipient : recipients) {
        bool named = recipient.reason.find("<" + recipient.address + ">") != std::string::npos;
        std::string reason = named ? recipient.reason : recipient.address + ": " + recipient.reason;
        reasons += (reasons.empty() ? "" : "; ") + reason;
    }
    return reasons;
}

} // namespace app
