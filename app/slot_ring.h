// The ring of ten message slots that decouples receiving (main thread) from relaying (the
// delivery pool). Main-thread only.
//
// A slot is held only while its message is being filled: MAIL binds the connection to a
// slot and the end of the message unbinds it, so a connection that stays open after its
// message (as mail programs do) takes nothing from the others. Transactions of different
// connections never share a slot, and a slot is never reused while another connection is
// still filling it. "Ten at once" is a real limit only for MAIL: a connection that goes on
// with the envelope it already has (RCPT or DATA without a new MAIL, which the server
// allows) is never turned away, since the server has already accepted its DATA and a
// refusal could not reach the client; such a transaction takes a spare slot past the ten
// when all ten are busy.
#pragma once

#include "app/string_list.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace app {

struct MessageSlot {
    std::string sender;
    std::string recipientText; // comma-joined, no blanks
    StringList pieces;
};

// What a delivery is handed when the message is complete: a copy of the recipients and the
// message text itself, moved out of the slot. Nothing reads a delivered slot's text again,
// and a large message must not be held twice (slot and delivery) while it is sent.
struct CompletedMessage {
    int slot = 0; // 1..10, or above for a spare slot
    std::string sender;
    std::string recipientText;
    StringList pieces;
};

class SlotRing {
  public:
    static constexpr int kSlots = 10;
    using Connection = const void*;

    SlotRing();

    // MAIL: opens the next slot that no other connection is filling (wrapping 10 -> 1).
    // Returns the slot, or 0 when all ten are being filled (the MAIL must be refused).
    int MailFrom(Connection connection, const std::string& sender);
    // RCPT: false when the connection has no envelope (no MAIL, or its MAIL was refused).
    bool MailTo(Connection connection, const std::string& address);
    // A data piece; the completed message when `lastPart`.
    std::optional<CompletedMessage> SendData(Connection connection, bool lastPart,
                                             const std::string& piece);
    // The connection went away: its unfinished slot is free again.
    void Release(Connection connection);

    int CurrentSlot() const { return currentSlot_; }
    void ResetCurrentSlot() { currentSlot_ = 0; }
    // Slots 1..10 (and spare slots above, while they exist).
    const MessageSlot& Slot(int n) const { return slots_.at(static_cast<size_t>(n - 1)); }
    // Connections filling a slot right now.
    size_t Filling() const { return bound_.size(); }
    // The shared message buffer: emptied at every RCPT, the test send's own buffer. The
    // relay never reads what the data events would put there, so they do not copy every
    // message into it a second time.
    StringList& CurrentMessage() { return currentMessage_; }

  private:
    struct Envelope {
        std::string sender;
        std::string recipientText;
    };
    int SlotOf(Connection connection) const;
    bool IsFilling(int slot) const;
    // Binds the connection to a free slot holding `envelope` and no pieces; 0 when none of
    // the ten is free and `spareAllowed` is false.
    int Open(Connection connection, Envelope envelope, bool spareAllowed);
    MessageSlot& At(int n) { return slots_[static_cast<size_t>(n - 1)]; }

    std::vector<MessageSlot> slots_;
    int currentSlot_ = 0;
    std::unordered_map<Connection, int> bound_;
    // The envelope of a connection's last completed message, which the server keeps for a
    // following RCPT or DATA without MAIL.
    std::unordered_map<Connection, Envelope> finished_;
    StringList currentMessage_;
};

} // namespace app
