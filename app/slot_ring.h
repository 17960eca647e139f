// The ring of ten message slots that decouples receiving (main thread) from relaying
// (one worker per message). Main-thread only.
//
// Two guarantees beyond the classic ring: a transaction keeps the slot its MAIL opened even
// when another connection's MAIL comes in between (each connection is bound to its slot),
// and a slot is never reused while a transaction of another connection is still filling it.
// A delivery works on a copy of its slot, so reusing a slot can never change a running send.
#pragma once

#include "app/string_list.h"

#include <array>
#include <optional>
#include <string>
#include <unordered_map>

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
    int slot = 0; // 1..10
    std::string recipientText;
    StringList pieces;
};

class SlotRing {
  public:
    static constexpr int kSlots = 10;
    using Connection = const void*;

    // MAIL: opens the next slot that no other connection is filling (wrapping 10 -> 1).
    // Returns the slot, or 0 when all ten are being filled (the MAIL must be refused).
    int MailFrom(Connection connection, const std::string& sender);
    // RCPT: false when the connection has no slot (its MAIL was refused).
    bool MailTo(Connection connection, const std::string& address);
    // A data piece; the completed message when `lastPart`.
    std::optional<CompletedMessage> SendData(Connection connection, bool lastPart,
                                             const std::string& piece);
    // The connection went away: its unfinished slot is free again.
    void Release(Connection connection);

    int CurrentSlot() const { return currentSlot_; }
    void ResetCurrentSlot() { currentSlot_ = 0; }
    const MessageSlot& Slot(int n) const { return slots_.at(static_cast<size_t>(n - 1)); }
    // The shared message buffer: emptied at every RCPT, the test send's own buffer. The
    // relay never reads what the data events would put there, so they do not copy every
    // message into it a second time.
    StringList& CurrentMessage() { return currentMessage_; }

  private:
    int SlotOf(Connection connection) const;
    bool Filling(int slot, Connection except) const;

    std::array<MessageSlot, kSlots> slots_;
    int currentSlot_ = 0;
    std::unordered_map<Connection, int> bound_;
    // The slot's last message is complete: a second DATA of the same envelope (no RCPT in
    // between) starts from empty pieces instead of sending both messages as one.
    std::array<bool, kSlots> completed_{};
    StringList currentMessage_;
};

} // namespace app
