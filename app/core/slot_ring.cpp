#include "app/core/slot_ring.h"

namespace app {

SlotRing::SlotRing() : slots_(kSlots) {}

int SlotRing::SlotOf(Connection connection) const {
    auto it = bound_.find(connection);
    return it == bound_.end() ? 0 : it->second;
}

bool SlotRing::IsFilling(int slot) const {
    return filling_.count(slot) != 0;
}

void SlotRing::Unbind(Connection connection) {
    auto it = bound_.find(connection);
    if (it == bound_.end()) return;
    filling_.erase(it->second);
    bound_.erase(it);
}

int SlotRing::Open(Connection connection, Envelope envelope, bool spareAllowed) {
    Unbind(connection);
    int chosen = 0;
    int candidate = currentSlot_ > kSlots ? 0 : currentSlot_;
    for (int tries = 0; tries < kSlots && chosen == 0; ++tries) {
        candidate = candidate < kSlots ? candidate + 1 : 1;
        if (!IsFilling(candidate)) chosen = candidate;
    }
    if (chosen != 0) {
        currentSlot_ = chosen;
    } else {
        if (!spareAllowed && static_cast<int>(bound_.size()) >= kMaxFilling) return 0;
        for (int n = kSlots + 1; n <= static_cast<int>(slots_.size()) && chosen == 0; ++n)
            if (!IsFilling(n)) chosen = n;
        if (chosen == 0) {
            slots_.emplace_back();
            chosen = static_cast<int>(slots_.size());
        }
    }
    MessageSlot& slot = At(chosen);
    slot.sender = std::move(envelope.sender);
    slot.recipientText = std::move(envelope.recipientText);
    slot.bound = std::move(envelope.bound);
    slot.pieces.clear();
    bound_[connection] = chosen;
    filling_.insert(chosen);
    return chosen;
}

int SlotRing::MailFrom(Connection connection, const std::string& sender) {
    finished_.erase(connection); // a new MAIL starts a new envelope
    return Open(connection, Envelope{sender, "", std::nullopt}, false);
}

void SlotRing::BindAccount(Connection connection, BoundAccount bound) {
    if (int n = SlotOf(connection)) At(n).bound = std::move(bound);
}

bool SlotRing::MailTo(Connection connection, const std::string& address) {
    int n = SlotOf(connection);
    if (n == 0) {
        auto it = finished_.find(connection);
        if (it == finished_.end()) return false;
        n = Open(connection, it->second, true); // RCPT after a message adds to its envelope
        finished_.erase(it);
    }
    MessageSlot& slot = At(n);
    slot.recipientText += (slot.recipientText.empty() ? "" : ",") + address;
    slot.pieces.clear();
    return true;
}

std::optional<CompletedMessage> SlotRing::SendData(Connection connection, bool lastPart,
                                                   const std::string& piece, bool keepText) {
    int n = SlotOf(connection);
    if (n == 0) {
        // A second DATA of the same envelope: a message of its own in a slot of its own.
        auto it = finished_.find(connection);
        if (it == finished_.end()) return std::nullopt;
        n = Open(connection, it->second, true);
        finished_.erase(it);
    }
    MessageSlot& slot = At(n);
    if (keepText) slot.pieces.push_back(piece);
    if (!lastPart) return std::nullopt;
    Unbind(connection);
    // A following DATA or RCPT without MAIL goes on with this envelope, and its account.
    finished_[connection] = Envelope{slot.sender, slot.recipientText, slot.bound};
    CompletedMessage done{n, slot.sender, slot.recipientText, std::move(slot.pieces), slot.bound};
    slot.pieces.clear();
    return done;
}

const MessageSlot* SlotRing::FillingSlot(Connection connection) const {
    int n = SlotOf(connection);
    return n == 0 ? nullptr : &Slot(n);
}

void SlotRing::Release(Connection connection) {
    Unbind(connection);
    finished_.erase(connection);
}

} // namespace app
