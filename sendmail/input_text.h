// The caller's message as it came on standard input, held once: in pieces of a fixed size, so
// that reading it never holds it twice (a string grown by doubling copies itself), and read
// back as lines without making a list of them (a list of lines is a second copy).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace sendmail {

class InputText {
  public:
    static constexpr size_t kPieceBytes = 1 << 20;

    // Where the next line starts; only NextLine reads or moves it.
    struct Position {
        size_t piece = 0;
        size_t offset = 0;
    };

    explicit InputText(size_t pieceBytes = kPieceBytes) : pieceBytes_(pieceBytes) {}

    void Append(const char* data, size_t size);
    // All of `file` appended; false on a read error.
    bool AppendAllOf(std::FILE* file);

    size_t Size() const { return size_; }
    bool HoldsNul() const;

    // The line at `at` into `line`, without its LF (and a CR before that LF); `at` moves past
    // it. False at the end of the text.
    bool NextLine(Position& at, std::string& line) const;

  private:
    size_t pieceBytes_;
    std::vector<std::string> pieces_; // each pieceBytes_ long but the last
    size_t size_ = 0;
};

// The lines of an InputText from a position on, ended early by a line of a single dot when
// the caller asked for sendmail's rule (no -i). Copies are cheap and read on independently.
class InputLines {
  public:
    InputLines(const InputText& text, bool dotEndsInput) : text_(&text), dotEnds_(dotEndsInput) {}

    bool Next(std::string& line);

  private:
    const InputText* text_;
    bool dotEnds_;
    bool ended_ = false;
    InputText::Position at_;
};

} // namespace sendmail
