#include "app/slot_ring.h"

namespace app {

bool SlotRing::Filling(int slot, Connection except) const {
    for (const auto& [connection, n] : bound_)
        if (n == slot && connection != except) return true;
    return false;
}

int SlotRing::SlotOf(Connection connection) const {
    auto it = bound_.find(connection);
    return it == bound_.end() ? 0 : it->second;
}

int SlotRing::MailFrom(Connection connection, const std::string& sender) {
    bound_.erase(connection); // a new MAIL in the same session starts a new transaction
    int candidate = currentSlot_;
    for (int tries = 0; tries < kSlots; ++tries) {
        candidate = candidate < kSlots ? candidate + 1 : 1;
        if (Filling(candidate, connection)) continue;
        currentSlot_ = candidate;
        MessageSlot& slot = slots_[static_cast<size_t>(candidate - 1)];
        slot.sender = sender;
        slot.recipientText.clear();
        completed_[static_cast<size_t>(candidate - 1)] = false;
        bound_[connection] = candidate;
        return candidate;
    }
    return 0;
}

bool SlotRing::MailTo(Connection connection, const std::string& address) {
    currentMessage_.clear();
    int n = SlotOf(connection);
    if (n == 0) return false;
    MessageSlot& slot = slots_[static_cast<size_t>(n - 1)];
    slot.recipientText += (slot.recipientText.empty() ? "" : ",") + address;
    slot.pieces.clear();
    completed_[static_cast<size_t>(n - 1)] = false;
    return true;
}

std::optional<CompletedMessage> SlotRing::SendData(Connection connection, bool lastPart,
                                                   const std::string& piece) {
    int n = SlotOf(connection);
    if (n == 0) return std::nullopt;
    MessageSlot& slot = slots_[static_cast<size_t>(n - 1)];
    bool& completed = completed_[static_cast<size_t>(n - 1)];
    if (completed) slot.pieces.clear();
    completed = lastPart;
    slot.pieces.push_back(piece);
    if (!lastPart) return std::nullopt;
    // The connection keeps its slot: a second message without MAIL (the server keeps the
    // envelope) refills it at its next RCPT, as it always did.
    CompletedMessage done{n, slot.recipientText, std::move(slot.pieces)};
    slot.pieces.clear();
    return done;
}

void SlotRing::Release(Connection connection) {
    bound_.erase(connection);
}

} // namespace app
