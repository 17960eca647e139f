// The ring of ten message slots that decouples receiving (main thread) from relaying (the
// delivery pool). Main-thread only.
//
// A slot is held only while its message is being filled: MAIL binds the connection to a
// slot and the end of the message unbinds it, so a connection that stays open after its
// message (as mail programs do) takes nothing from the others. Transactions of different
// connections never share a slot, and a slot is never reused while another connection is
// still filling it. The ten rotate as they always did; when all ten are being filled at
// the same moment (32 mail programs submitting at once do that), a transaction takes a spare
// slot past the ten instead of being refused, since every transaction's text is its own and
// deliveries hold copies. Only kMaxFilling transactions at once are refused (MAIL gets 451):
// a peer cannot make the ring grow without bound. A connection that goes on with the
// envelope it already has (RCPT or DATA without a new MAIL) is never refused, since the
// server has already accepted its DATA and a refusal could not reach the client.
#pragma once

#include "app/core/accounts.h"
#include "app/core/string_list.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace app {

// The account selected at a transaction's MAIL, which its message goes out through whatever
// later transactions select meanwhile, and the selected sender its record names.
struct BoundAccount {
    Account account;
    std::string listedSender;
};

struct MessageSlot {
    std::string sender;
    std::string recipientText; // comma-joined, no blanks
    StringList pieces;
    std::optional<BoundAccount> bound;
};

// What a delivery is handed when the message is complete: a copy of the recipients and the
// message text itself, moved out of the slot. Nothing reads a delivered slot's text again,
// and a large message must not be held twice (slot and delivery) while it is sent.
struct CompletedMessage {
    int slot = 0; // 1..10, or above for a spare slot
    std::string sender;
    std::string recipientText;
    StringList pieces;
    std::optional<BoundAccount> bound; // unset: the account in force when it is delivered
};

class SlotRing {
  public:
    static constexpr int kSlots = 10;
    // Transactions being filled at once before MAIL is refused; each holds a session, so the
    // descriptor limit bounds them well before this.
    static constexpr int kMaxFilling = 4096;
    using Connection = const void*;

    SlotRing();

    // MAIL: opens the next slot that no other connection is filling (wrapping 10 -> 1).
    // Returns the slot, or 0 when all ten are being filled (the MAIL must be refused).
    int MailFrom(Connection connection, const std::string& sender);
    // Binds the account selected for the transaction the connection is filling.
    void BindAccount(Connection connection, BoundAccount bound);
    // RCPT: false when the connection has no envelope (no MAIL, or its MAIL was refused).
    bool MailTo(Connection connection, const std::string& address);
    // A data piece; the completed message when `lastPart`. Without `keepText` the pieces
    // are not held (the text is kept elsewhere) and the completed message has none.
    std::optional<CompletedMessage> SendData(Connection connection, bool lastPart,
                                             const std::string& piece, bool keepText = true);
    // Whether a RCPT of the connection has an envelope to go into (MailTo would take it).
    bool HasEnvelope(Connection connection) const {
        return SlotOf(connection) != 0 || finished_.count(connection) != 0;
    }
    // The connection went away: its unfinished slot is free again.
    void Release(Connection connection);
    // The slot the connection is filling, or null.
    const MessageSlot* FillingSlot(Connection connection) const;

    int CurrentSlot() const { return currentSlot_; }
    void ResetCurrentSlot() { currentSlot_ = 0; }
    // Slots 1..10 (and spare slots above, while they exist).
    const MessageSlot& Slot(int n) const { return slots_.at(static_cast<size_t>(n - 1)); }
    // Connections filling a slot right now.
    size_t Filling() const { return bound_.size(); }

  private:
    struct Envelope {
        std::string sender;
        std::string recipientText;
        std::optional<BoundAccount> bound;
    };
    int SlotOf(Connection connection) const;
    void Unbind(Connection connection);
    bool IsFilling(int slot) const;
    // Binds the connection to a free slot holding `envelope` and no pieces; 0 when
    // kMaxFilling are being filled and `spareAllowed` is false.
    int Open(Connection connection, Envelope envelope, bool spareAllowed);
    MessageSlot& At(int n) { return slots_[static_cast<size_t>(n - 1)]; }

    std::vector<MessageSlot> slots_;
    int currentSlot_ = 0;
    std::unordered_map<Connection, int> bound_;
    std::unordered_set<int> filling_; // the slots in bound_, for a quick look-up
    // The envelope of a connection's last completed message, which the server keeps for a
    // following RCPT or DATA without MAIL.
    std::unordered_map<Connection, Envelope> finished_;
};

} // namespace app
