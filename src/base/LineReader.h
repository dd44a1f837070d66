#pragma once
// A reader for the reply lines of command/reply protocols (SMTP, POP3,
// FTP): bytes in as they arrive, complete lines out, one at a time.  Plain
// code over bytes, no socket, so that an engine can check after every line
// that its handlers left it alive, and so that it can be fuzzed alone.
//
//     reader.Append({buf, n});
//     std::string line;
//     while (reader.Next(line) == TLineReader::Result::Line)
//         Handle(line);
//
// Memory: call Next until it stops giving lines after every Append; the
// reader then keeps at most MaxLine + 1 bytes besides what one Append brings,
// however long a line the peer sends.

#include <cstddef>
#include <string>
#include <string_view>

namespace qordex {

class TLineReader {
public:
    enum class Result {
        Line,     // `line` holds the next complete line, without its end
        NeedMore, // no complete line is held; Append more bytes
        TooLong,  // the next line is longer than MaxLine: `line` holds its
                  // first MaxLine bytes and the rest of it is skipped
    };

    explicit TLineReader(std::size_t maxLine) : maxLine_(maxLine) {}

    // Without AcceptLF (the default) only CR LF ends a line, and a lone CR
    // or LF is a byte of the line (RFC 5321, 2.3.8); with it a bare LF ends
    // a line too.
    void SetAcceptLF(bool v) { acceptLF_ = v; }
    bool AcceptLF() const { return acceptLF_; }
    std::size_t MaxLine() const { return maxLine_; }

    void Append(std::string_view bytes);
    Result Next(std::string& line);

    // Forgets everything held, a partial line included.
    void Reset();
    // Bytes held and not yet handed out.
    std::size_t Pending() const { return buf_.size() - start_; }

private:
    std::size_t maxLine_;
    bool acceptLF_ = false;
    bool skipping_ = false; // dropping the rest of a line that was too long
    std::string buf_;
    std::size_t start_ = 0;   // first byte not handed out
    std::size_t scanned_ = 0; // bytes after start_ known to hold no line end
};

} // namespace qordex
