#pragma once
// The bytes that the line layer of the socket holds: received but not yet
// read by the application, searched for the line terminator.  Plain code
// over bytes, no socket; the keyboard editing of interactive sessions
// (backspace, tab) is here too.

#include <cstddef>
#include <string>
#include <string_view>

namespace qordex {

// The line layer stops reading from the system while it holds this many
// bytes without a terminator (when the application keeps an over-long line,
// or sets no limit): the peer is then held back by the connection's own
// flow control instead of filling the memory.
constexpr std::size_t kLineBufferCeiling = 64u << 20;

// What editing made of the bytes just received.
struct LineEditResult {
    std::size_t held = 0; // bytes before the first one that changed
    std::string echo;     // what to send back when echoing
};

// Applies backspace and tab editing to the bytes of `text` from `from` on
// (the ones just received); the bytes before `from` were held already and a
// backspace may remove them.  A backspace moves back one byte (echoed as 8,
// 32, 8 when something was there to erase); a tab becomes spaces up to the
// next multiple of 8 (at least one).  With `echo`, every other byte is
// echoed as it is.  `text` ends at the last byte written.
LineEditResult EditLineBuffer(std::string& text, std::size_t from, bool echo);

class LineBuffer {
public:
    std::size_t Size() const { return data_.size() - start_; }
    bool Empty() const { return Size() == 0; }
    const char* Data() const { return data_.data() + start_; }

    // Room for `n` more bytes at the end; Commit tells how many were written
    // there (the rest is dropped).
    char* Reserve(std::size_t n);
    void Commit(std::size_t written);
    void Append(std::string_view bytes);

    // Copies up to `n` bytes from the front to `out` and, unless `peek`,
    // removes them.  Returns the number copied.
    std::size_t Take(char* out, std::size_t n, bool peek = false);
    void Drop(std::size_t n);
    void Clear();
    // Clear, and give the memory back.
    void Release();

    // The length (terminator included) of the first line that ends with
    // `end`, or 0 when no complete line is held.  Each byte is searched once
    // between changes at the front, so a long line arriving in small pieces
    // costs linear time.
    std::size_t FindLine(std::string_view end);

    // Runs EditLineBuffer on the bytes from `from` on (the ones just
    // appended); the next FindLine looks at the edited bytes again.
    LineEditResult Edit(std::size_t from, bool echo);

private:
    void Compact();

    std::string data_;
    std::size_t start_ = 0;    // first held byte in data_
    std::size_t searched_ = 0; // bytes searched already (relative to start_)
    std::size_t reserved_ = 0; // size before Reserve, until Commit
};

} // namespace qordex
