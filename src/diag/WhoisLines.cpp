#include "diag/WhoisLines.h"

namespace qordex::diag {
namespace {

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

} // namespace

void TWhoisLineSplitter::Reset() {
    buffer_.clear();
    afterPiece_ = false;
}

std::vector<std::string> TWhoisLineSplitter::Feed(std::string_view bytes) {
    std::vector<std::string> out;
    for (char c : bytes) {
        if (c == '\0')
            continue; // only the zero byte goes, not what follows it
        buffer_ += c;
        // A line is known one byte after its end, or when it fills a piece.
        const std::size_t n = buffer_.size();
        if (n >= kWhoisPieceSize || (n >= 2 && IsLineEnd(buffer_[n - 2])))
            Take(out, false);
    }
    return out;
}

std::vector<std::string> TWhoisLineSplitter::Finish() {
    std::vector<std::string> out;
    Take(out, true);
    if (!buffer_.empty()) {
        // A line end held back at the close ends the last line; it is not part of it.
        std::string line = buffer_;
        if (IsLineEnd(line.back()))
            line.pop_back();
        Emit(out, std::move(line));
    }
    Reset();
    return out;
}

void TWhoisLineSplitter::Take(std::vector<std::string>& out, bool atClose) {
    for (;;) {
        std::size_t end = 0;
        while (end < buffer_.size() && !IsLineEnd(buffer_[end]))
            ++end;
        if (end >= kWhoisPieceSize) {
            // No line end within a full piece: hand the piece on.
            Emit(out, buffer_.substr(0, kWhoisPieceSize));
            buffer_.erase(0, kWhoisPieceSize);
            afterPiece_ = true;
            continue;
        }
        if (end == buffer_.size())
            return; // unfinished line
        if (end + 1 == buffer_.size()) {
            // The last byte is a line end: wait for the next one, unless none comes.
            if (!atClose)
                return;
            Emit(out, buffer_.substr(0, end));
            buffer_.clear();
            return;
        }
        const char first = buffer_[end];
        const char second = buffer_[end + 1];
        const std::size_t endSize = IsLineEnd(second) && second != first ? 2 : 1;
        Emit(out, buffer_.substr(0, end));
        buffer_.erase(0, end + endSize);
    }
}

void TWhoisLineSplitter::Emit(std::vector<std::string>& out, std::string line) {
    const bool endOfPiece = afterPiece_ && line.empty();
    afterPiece_ = false;
    if (endOfPiece)
        return; // the end of a line already handed on in full pieces
    out.push_back(std::move(line));
}

} // namespace qordex::diag
