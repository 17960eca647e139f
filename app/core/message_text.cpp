#include "app/core/message_text.h"

#include "platform/text.h"

namespace app {

namespace {

// Every CR LF is replaced by the CR LF the client adds; only a last line without one gains
// two bytes.
long long SentSize(long long textBytes, const std::string& tail) {
    return textBytes + (textBytes > 0 && tail != "\r\n" ? 2 : 0);
}

} // namespace

// The last two bytes of the text, across piece boundaries.
static std::string TailOf(const StringList& pieces) {
    std::string tail;
    for (auto it = pieces.rbegin(); it != pieces.rend() && tail.size() < 2; ++it)
        tail.insert(0, it->substr(it->size() - std::min<size_t>(it->size(), 2 - tail.size())));
    return tail;
}

static long long BytesOf(const StringList& pieces) {
    long long total = 0;
    for (const std::string& piece : pieces) total += static_cast<long long>(piece.size());
    return total;
}

PieceLines::PieceLines(StringList&& pieces) : pieces_(std::move(pieces)) {
    size_ = SentSize(BytesOf(pieces_), TailOf(pieces_));
}

PieceLines::PieceLines(std::function<Reader()> open, long long textBytes, const std::string& tail)
    : next_(open()), open_(std::move(open)), size_(SentSize(textBytes, tail)) {}

PieceLines PieceLines::Over(const StringList& pieces) {
    auto open = [&pieces]() -> Reader {
        return [&pieces, next = size_t(0)](std::string& piece) mutable {
            if (next >= pieces.size()) return false;
            piece = pieces[next++];
            return true;
        };
    };
    return PieceLines(open, BytesOf(pieces), TailOf(pieces));
}

bool PieceLines::Rewind() {
    if (!open_) return false;
    pieces_.clear();
    piece_ = pos_ = 0;
    pendingCr_ = false;
    next_ = open_();
    return static_cast<bool>(next_);
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

std::string SubjectIn(const std::string& firstPiece) {
    std::string subject;
    bool inSubject = false;
    for (size_t start = 0; start < firstPiece.size();) {
        size_t end = firstPiece.find('\n', start);
        if (end == std::string::npos) break; // a header cut off by the piece's end: left out
        std::string line = firstPiece.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break; // the end of the headers
        if (line[0] == ' ' || line[0] == '\t') {
            if (inSubject) subject += " " + platform::TrimBlanks(line);
            continue;
        }
        inSubject = platform::AsciiLower(line.substr(0, 8)) == "subject:";
        if (inSubject)
            subject = platform::TrimBlanks(line.substr(8));
        else if (!subject.empty())
            break;
    }
    return subject;
}

} // namespace app
