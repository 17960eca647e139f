#include "sendmail/input_text.h"

#include <algorithm>
#include <cstring>

namespace sendmail {

void InputText::Append(const char* data, size_t size) {
    size_ += size;
    while (size > 0) {
        if (pieces_.empty() || pieces_.back().size() == pieceBytes_) {
            pieces_.emplace_back();
            pieces_.back().reserve(pieceBytes_); // exactly: a piece never grows past it
        }
        std::string& last = pieces_.back();
        size_t taken = std::min(size, pieceBytes_ - last.size());
        last.append(data, taken);
        data += taken;
        size -= taken;
    }
}

bool InputText::AppendAllOf(std::FILE* file) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) Append(buffer, n);
    return !std::ferror(file);
}

bool InputText::HoldsNul() const {
    return std::any_of(pieces_.begin(), pieces_.end(), [](const std::string& piece) {
        return std::memchr(piece.data(), '\0', piece.size()) != nullptr;
    });
}

bool InputText::NextLine(Position& at, std::string& line) const {
    line.clear();
    bool any = false;
    for (; at.piece < pieces_.size(); ++at.piece, at.offset = 0) {
        const std::string& piece = pieces_[at.piece];
        if (at.offset >= piece.size()) continue;
        any = true;
        size_t end = piece.find('\n', at.offset);
        if (end == std::string::npos) {
            line.append(piece, at.offset, std::string::npos);
            continue;
        }
        line.append(piece, at.offset, end - at.offset);
        at.offset = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
    return any; // a last line without LF keeps what it holds, a CR included
}

bool InputLines::Next(std::string& line) {
    if (ended_ || !text_->NextLine(at_, line)) return false;
    ended_ = dotEnds_ && line == ".";
    return !ended_;
}

} // namespace sendmail
