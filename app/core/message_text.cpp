#include "app/core/message_text.h"

namespace app {

namespace {

// Every CR LF is replaced by the CR LF the client adds; only a last line without one gains
// two bytes.
long long SentSize(long long textBytes, const std::string& tail) {
    return textBytes + (textBytes > 0 && tail != "\r\n" ? 2 : 0);
}

} // namespace

PieceLines::PieceLines(StringList&& pieces) : pieces_(std::move(pieces)) {
    long long total = 0;
    for (const std::string& piece : pieces_) total += static_cast<long long>(piece.size());
    // The last two bytes of the text, across piece boundaries.
    std::string tail;
    for (auto it = pieces_.rbegin(); it != pieces_.rend() && tail.size() < 2; ++it)
        tail.insert(0, it->substr(it->size() - std::min<size_t>(it->size(), 2 - tail.size())));
    size_ = SentSize(total, tail);
}

PieceLines::PieceLines(std::function<bool(std::string&)> next, long long textBytes,
                       const std::string& tail)
    : next_(std::move(next)), size_(SentSize(textBytes, tail)) {}

bool PieceLines::HavePiece() {
    if (piece_ < pieces_.size()) return true;
    if (!next_) return false;
    pieces_.clear();
    piece_ = 0;
    std::string piece;
    if (!next_(piece)) {
        next_ = nullptr;
        return false;
    }
    pieces_.push_back(std::move(piece));
    return true;
}

bool PieceLines::Next(std::string& line) {
    line.clear();
    while (HavePiece()) {
        const std::string& piece = pieces_[piece_];
        if (pendingCr_ && pos_ < piece.size()) {
            pendingCr_ = false;
            if (piece[pos_] == '\n') {
                ++pos_;
                return true;
            }
            line += '\r';
        }
        size_t cr = piece.find('\r', pos_);
        if (cr == std::string::npos) {
            line.append(piece, pos_, std::string::npos);
            std::string().swap(pieces_[piece_]);
            ++piece_;
            pos_ = 0;
            continue;
        }
        line.append(piece, pos_, cr - pos_);
        pos_ = cr + 1;
        pendingCr_ = true;
    }
    if (pendingCr_) {
        pendingCr_ = false;
        line += '\r';
    }
    return !line.empty();
}

StringList MessageLines(StringList&& pieces) {
    PieceLines source(std::move(pieces));
    StringList lines;
    for (std::string line; source.Next(line);) lines.push_back(std::move(line));
    return lines;
}

} // namespace app
