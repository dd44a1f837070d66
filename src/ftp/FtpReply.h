#pragma once
// Reply lines of the command/reply protocols (FTP, and the mail protocols
// whose replies have the same form): bytes in, complete lines out, and the
// rule that tells which line ends a reply.  No socket here.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qordex::ftp {

// The longest control line kept: the engine's 4096-byte buffer less one.
// Anything beyond it on the same line is dropped, never taken for a reply.
constexpr std::size_t kMaxReplyLine = 4095;

// Splits a byte stream into lines.  A line ends at LF (when AcceptLF) or at
// CR LF; trailing CR and LF bytes are removed.  A line longer than the limit
// is cut there: its first bytes come out as one line when its end arrives,
// the rest is dropped, so a long line costs bounded memory and no time.
class TReplyLineReader {
public:
    explicit TReplyLineReader(std::size_t limit = kMaxReplyLine) : limit_(limit) {}

    // With AcceptLF a bare LF ends a line; without it only CR LF does, and
    // a lone LF stays inside the line.
    void SetAcceptLF(bool v) { acceptLF_ = v; }
    bool AcceptLF() const { return acceptLF_; }

    // Feeds bytes; `onLine` runs for every completed line, in order.  It may
    // call Reset (the remaining input of this call is then dropped).
    void Feed(std::string_view bytes, const std::function<void(std::string_view line)>& onLine);

    // Forgets any partial line.
    void Reset();

    // Bytes of the unfinished line held (at most the limit).
    std::size_t Pending() const { return line_.size(); }

private:
    std::size_t limit_;
    bool acceptLF_ = true;
    bool cut_ = false;   // the current line passed the limit; its rest is dropped
    bool sawCR_ = false; // the last byte kept or dropped was a CR
    std::string line_;
    unsigned generation_ = 0; // changes with every Reset, so Feed knows to stop
};

// The three-digit code a reply line starts with, or -1 when it does not
// start with three digits.
int ReplyCode(std::string_view line);

// Follows the lines of one reply (RFC 959, 4.2): a reply is one line "CODE
// text", or a first line "CODE-text", any inner lines, and a last line
// starting with the same code and a space.  Inner lines may start with
// digits.  A line of only the three digits also ends a reply.
class TReplyTracker {
public:
    enum class Kind {
        Final,        // the last line of a reply (Code() tells which)
        Continuation, // the first line of a multi-line reply
        Inner,        // any other line of a multi-line reply, or text outside a reply
    };

    Kind Add(std::string_view line);
    // The code of the last Final or Continuation line.
    int Code() const { return code_; }
    // True between a continuation line and its last line.
    bool InMultiLine() const { return multi_; }
    void Reset() {
        multi_ = false;
        code_ = -1;
    }

private:
    bool multi_ = false;
    int code_ = -1;
};

} // namespace qordex::ftp
