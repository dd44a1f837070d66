#pragma once
// Splits a whois answer into lines as it arrives.  A line ends at CR LF,
// LF CR, a lone CR or a lone LF (a pair counts as one end).  A line end
// that is the last byte received is held back until the next byte shows
// whether it is half of a pair.  Zero bytes are dropped.  A line longer than
// kWhoisPieceSize bytes is handed on in pieces of that size, with no empty
// line when its end comes right after a full piece, so the buffer never
// grows past one piece.  Any split of the input gives the lines of the whole.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::diag {

// Longest piece of a line handed on at once (the receive buffer less its terminator).
constexpr std::size_t kWhoisPieceSize = 4095;

class TWhoisLineSplitter {
public:
    // Takes the next bytes; returns the lines they completed, without line ends.
    std::vector<std::string> Feed(std::string_view bytes);
    // At the close: the unfinished rest as one more line (without a held
    // line end), or nothing when none is left.
    std::vector<std::string> Finish();
    // What is held for the next block.
    const std::string& Held() const { return buffer_; }
    void Reset();

private:
    void Take(std::vector<std::string>& out, bool atClose);
    void Emit(std::vector<std::string>& out, std::string line);

    std::string buffer_;     // bytes after the last line handed on (at most one piece + 1)
    bool afterPiece_ = false; // the last thing handed on was a full piece without its end
};

} // namespace qordex::diag
