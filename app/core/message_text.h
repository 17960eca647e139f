// A message's text as the inbound server delivered it (pieces, one per data event) and as
// the SMTP client sends it (lines): the pieces joined and cut at each CR LF; the CR LF that
// ends the text adds no empty line; a lone CR or LF stays inside its line.
#pragma once

#include "app/core/string_list.h"
#include "smtpclient/smtpsender.h"

#include <functional>

namespace app {

// Cuts the lines as the client takes them, on the delivering thread, and releases each piece
// once it is cut: a large message is never held twice.
class PieceLines : public smtpclient::TLineSource {
  public:
    explicit PieceLines(StringList&& pieces);
    // The pieces fetched one at a time from `next` (false when there are no more), for a text
    // of `textBytes` bytes whose last bytes (two, or fewer in a shorter text) are `tail`.
    PieceLines(std::function<bool(std::string&)> next, long long textBytes,
               const std::string& tail);
    // Pieces from a reader that `open` makes, once for each pass over the text: a text that
    // can be read again from its start (Rewind).
    using Reader = std::function<bool(std::string&)>;
    PieceLines(std::function<Reader()> open, long long textBytes, const std::string& tail);
    // Over pieces that outlive it, copying one piece at a time.
    static PieceLines Over(const StringList& pieces);
    long long Size() const override { return size_; }
    bool Next(std::string& line) override;
    bool Rewind() override;

  private:
    // True with pieces_[piece_] the piece to cut from, fetching it when needed.
    bool HavePiece();

    StringList pieces_;
    std::function<bool(std::string&)> next_;
    std::function<Reader()> open_;
    size_t piece_ = 0;
    size_t pos_ = 0;
    bool pendingCr_ = false; // a CR that ended what was taken so far
    long long size_ = 0;
};

// All the lines at once (the test send and checks).
StringList MessageLines(StringList&& pieces);

// The Subject header's value in a text's first piece (folded lines joined, blanks trimmed),
// as the message's bytes have it; empty when the headers there have none.
std::string SubjectIn(const std::string& firstPiece);

} // namespace app
